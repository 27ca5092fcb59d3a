// Server side of an NTLM handshake; one instance lives with one TCP connection.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntlm/ntlm_messages.h"
#include "ntlm/throttle.h"
#include "verify/verifier.h"

// How the service names itself in its challenges.
struct NtlmTarget {
  std::u16string netbios_domain;
  std::u16string netbios_computer;
  std::u16string dns_computer;
};

// The verifier's names, and this machine's host name.
NtlmTarget default_ntlm_target(NtlmVerifier& verifier);

// Checks of an authenticate message beyond the password, the same for every
// connection but for the peer's address.
struct NtlmGuard {
  // Host names a client may name as its target ("HTTP/<name>"); null: any.
  const std::vector<std::string>* service_names = nullptr;
  LogonThrottle* throttle = nullptr;  // null: no throttling
  std::string peer_address;
};

// This machine's host name, and its first label when the name has several.
std::vector<std::string> default_service_names();

// Tells the throttle that `user` (as a logon names it) logged on from `peer_address` `seconds_ago`,
// under the keys a logon's answer is counted by.
void remember_logon(LogonThrottle& throttle, const std::string& user, const std::string& peer_address,
                    std::int64_t seconds_ago);

// Whether a target name a client sent ("class/host[:port][/more]") names this
// service: class HTTP and a host among `names`, both without regard to case.
bool target_names_service(const std::string& target_name, const std::vector<std::string>& names);

enum class NtlmStep {
  Challenge,
  Verify,  // an authenticate message to verify next (NtlmServerSession::verify)
  Accepted,
  Rejected,
  Unavailable,  // the verifier could not tell: try again later
};

struct NtlmResult {
  NtlmStep step = NtlmStep::Rejected;
  std::string token_kind;   // "NTLM-negotiate", "NTLM-authenticate" or "NTLM-malformed"
  std::string reply_token;  // base64 challenge message, for NtlmStep::Challenge
  std::string user;         // claimed name when rejected, the directory's spelling when accepted
  std::string domain;
  std::vector<std::string> groups;  // when accepted: the directory's group SIDs of the user
  // Why a token was rejected (refused), or why it could not be verified (unavailable); none otherwise.
  Failure failure;
  bool throttled = false;   // refused unchecked after too many failures, which were reported already
  bool throttle_started = false;  // this failure started such a refusal (the reason says so)
};

// A challenge as the server sent it, with the negotiate message it answered;
// the MIC covers both.
struct IssuedChallenge {
  Bytes negotiate;
  Bytes challenge;
  ServerChallenge server_challenge{};
};

// Verifies an authenticate message: NTLMv2 only, the answer by the verifier,
// the MIC (with the session key the verifier returns) when the client announces
// one, and the guard's checks. May block as long as the verifier does.
NtlmResult check_authenticate(NtlmVerifier& verifier, const IssuedChallenge& issued, const Bytes& message,
                              const NtlmGuard& guard = {});

class NtlmServerSession {
 public:
  NtlmServerSession(NtlmVerifier& verifier, const NtlmTarget& target, NtlmGuard guard = {});

  // Takes the base64 token of an "Authorization: NTLM ..." (or "Negotiate")
  // header. A negotiate message gets a challenge at once; an authenticate
  // message uses up the challenge it answers and comes back as NtlmStep::Verify.
  NtlmResult process(std::string_view base64_token);
  // Verifies the authenticate message process() took; it may block.
  NtlmResult verify();

 private:
  NtlmResult on_negotiate(const Bytes& message);
  NtlmResult on_authenticate(const Bytes& message);

  NtlmVerifier& verifier_;
  const NtlmTarget& target_;
  const NtlmGuard guard_;
  // A challenge is answered at most once: taking it out of here before the
  // authenticate message is checked is what refuses replays.
  std::optional<IssuedChallenge> pending_;
  struct Answer {
    IssuedChallenge issued;
    Bytes message;
  };
  std::optional<Answer> to_verify_;
};
