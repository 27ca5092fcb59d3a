// Byte layouts of the three NTLM messages (negotiate, challenge, authenticate) and AV pairs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/ntlm_crypto.h"
#include "common/text.h"

namespace ntlm {

enum NegotiateFlag : std::uint32_t {
  kNegotiateUnicode = 0x00000001,
  kNegotiateOem = 0x00000002,
  kRequestTarget = 0x00000004,
  kNegotiateSign = 0x00000010,
  kNegotiateSeal = 0x00000020,
  kNegotiateNtlm = 0x00000200,
  kNegotiateAlwaysSign = 0x00008000,
  kTargetTypeDomain = 0x00010000,
  kExtendedSessionSecurity = 0x00080000,
  kNegotiateTargetInfo = 0x00800000,
  kNegotiateVersion = 0x02000000,
  kNegotiate128 = 0x20000000,
  kNegotiateKeyExchange = 0x40000000,
  kNegotiate56 = 0x80000000,
};

enum AvId : std::uint16_t {
  kAvEol = 0,
  kAvNbComputerName = 1,
  kAvNbDomainName = 2,
  kAvDnsComputerName = 3,
  kAvDnsDomainName = 4,
  kAvFlags = 6,
  kAvTimestamp = 7,
  kAvTargetName = 9,
};
constexpr std::uint32_t kAvFlagMicPresent = 0x00000002;

constexpr std::size_t kMicOffset = 72;
constexpr std::size_t kAuthenticateHeaderWithMic = 88;

struct AvPair {
  std::uint16_t id = 0;
  Bytes value;
};

struct NegotiateMessage {
  std::uint32_t flags = 0;
};

struct ChallengeMessage {
  std::uint32_t flags = 0;
  std::array<std::uint8_t, 8> server_challenge{};
  std::u16string target_name;
  Bytes target_info;  // encoded AV pairs, EOL included
};

struct AuthenticateMessage {
  std::uint32_t flags = 0;
  Bytes lm_response;
  Bytes nt_response;
  std::u16string domain;
  std::u16string user;
  std::u16string workstation;
  Bytes encrypted_session_key;
  // The 16 bytes after the version field, present when the payload leaves
  // room for them; they are a MIC only if the client's AV flags say so.
  std::optional<Digest16> mic;
};

// Message type (1, 2 or 3) after checking the signature; 0 if it is not NTLM.
std::uint32_t message_type(const Bytes& message);

bool parse_negotiate(const Bytes& message, NegotiateMessage* out, std::string* why);
bool parse_challenge(const Bytes& message, ChallengeMessage* out, std::string* why);
bool parse_authenticate(const Bytes& message, AuthenticateMessage* out, std::string* why);

// Reads AV pairs up to and including MsvAvEOL.
bool parse_av_pairs(const std::uint8_t* data, std::size_t size, std::vector<AvPair>* out, std::string* why);
const AvPair* find_av_pair(const std::vector<AvPair>& pairs, std::uint16_t id);
// Encodes the pairs and appends MsvAvEOL.
Bytes encode_av_pairs(const std::vector<AvPair>& pairs);

Bytes build_negotiate(std::uint32_t flags);
Bytes build_challenge(const ChallengeMessage& challenge);
Bytes build_authenticate(const AuthenticateMessage& authenticate);

}  // namespace ntlm
