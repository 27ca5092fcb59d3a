// Server side of an NTLM handshake; one instance lives with one TCP connection.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "accounts.h"
#include "ntlm_messages.h"

// How the service names itself in its challenges.
struct NtlmTarget {
  std::u16string netbios_domain;
  std::u16string netbios_computer;
  std::u16string dns_computer;
};

// The domain of the first account (WORKGROUP without accounts) and this
// machine's host name.
NtlmTarget default_ntlm_target(const Accounts& accounts);

enum class NtlmStep { Challenge, Accepted, Rejected };

struct NtlmResult {
  NtlmStep step = NtlmStep::Rejected;
  std::string token_kind;   // "NTLM-negotiate", "NTLM-authenticate" or "NTLM-malformed"
  std::string reply_token;  // base64 challenge message, for NtlmStep::Challenge
  std::string user;         // claimed name when rejected, account's spelling when accepted
  std::string domain;
  std::string reason;       // why a token was rejected
};

// A challenge as the server sent it, with the negotiate message it answered;
// the MIC covers both.
struct IssuedChallenge {
  Bytes negotiate;
  Bytes challenge;
  ServerChallenge server_challenge{};
};

// Verifies an authenticate message against the accounts: NTLMv2 only, and the
// MIC when the client announces one.
NtlmResult check_authenticate(const Accounts& accounts, const IssuedChallenge& issued, const Bytes& message);

class NtlmServerSession {
 public:
  NtlmServerSession(const Accounts& accounts, const NtlmTarget& target);

  // Takes the base64 token of an "Authorization: NTLM ..." header.
  NtlmResult process(std::string_view base64_token);

 private:
  NtlmResult on_negotiate(const Bytes& message);
  NtlmResult on_authenticate(const Bytes& message);

  const Accounts& accounts_;
  const NtlmTarget& target_;
  // A challenge is answered at most once: taking it out of here before the
  // authenticate message is checked is what refuses replays.
  std::optional<IssuedChallenge> pending_;
};
