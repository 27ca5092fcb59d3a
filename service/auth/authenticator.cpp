// Who a request comes from: the NTLM and Kerberos handshakes of one connection, and what they share.
#include "auth/authenticator.h"

#include <chrono>

#include "common/diagnostics.h"
#include "common/peer_group.h"
#include "common/text.h"

namespace {

// NTLM verifications waiting for winbind or a domain controller run on these threads;
// a busy domain answers them one by one, so a few more than the cores is enough.
constexpr unsigned kCheckThreads = 16;
// Verifications one peer may have under way: an agent makes one at a time, and a few PCs behind
// one address (a terminal server, a NAT) rarely more. Fewer than kCheckThreads / 2, so that
// one peer never holds most of the threads.
constexpr int kPeerVerifications = 4;
// What a client that got 503 because the domain could not be reached is told to wait.
constexpr const char* kDomainRetryAfter = "Retry-After: 30";
// ... and one whose other verifications are still under way: they take milliseconds.
constexpr const char* kBusyRetryAfter = "Retry-After: 1";

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] + 32) : a[i];
    const char y = (b[i] >= 'A' && b[i] <= 'Z') ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// The base64 of an NTLM message's signature: Windows sends a raw NTLM message
// under "Negotiate" when it gets no Kerberos ticket.
bool is_ntlm_token(const std::string& token) { return token.rfind("TlRMTVNTUA", 0) == 0; }

std::string credentials_after(const std::string& header, std::size_t space) {
  if (space == std::string::npos) return "";
  const std::size_t start = header.find_first_not_of(' ', space);
  return start == std::string::npos ? "" : header.substr(start);
}

}  // namespace

namespace {

// A round of the handshake that asks the client for its next token.
Authentication challenged(std::string authorization, Reply challenge) {
  Authentication done;
  done.authorization = std::move(authorization);
  done.outcome = Outcome::of(Outcome::Kind::Challenge);
  done.reply = std::move(challenge);
  return done;
}

// A throttled guess is kept off stderr: its refusal was reported when it started.
std::string ntlm_report_kind(const NtlmResult& result) {
  if (result.throttled) return "";
  return result.throttle_started ? "failed-logon limit reached" : "rejected: " + reason_kind(result.failure.why);
}

Authentication with_authorization(std::string authorization, Authentication done) {
  done.authorization = std::move(authorization);
  return done;
}

double seconds_since(std::chrono::steady_clock::time_point started) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace

PeerSlot::~PeerSlot() { owner_.give_back(group_); }

std::shared_ptr<PeerSlot> PeerVerifications::take(const std::string& group) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    int& under_way = under_way_[group];
    if (under_way >= limit_) return nullptr;
    ++under_way;
  }
  return std::make_shared<PeerSlot>(*this, group);
}

bool PeerVerifications::full(const std::string& group) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = under_way_.find(group);
  return found != under_way_.end() && found->second >= limit_;
}

void PeerVerifications::give_back(const std::string& group) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--under_way_[group] == 0) under_way_.erase(group);
}

Verification::Verification(const Options& options, NtlmVerifier& verifier, const KerberosAcceptor* kerberos,
                           std::atomic<std::uint64_t>& rejected)
    : verifier_(verifier),
      kerberos_(kerberos),
      service_names_(options.service_names.empty() ? default_service_names() : options.service_names),
      throttle_(options.failed_logon_limit, options.failed_logon_account_limit, options.failed_logon_seconds),
      rejected_(rejected),
      checks_(kCheckThreads),
      peers_(kPeerVerifications) {}

Reply Verification::challenge(std::vector<std::string> offers) const {
  if (offers.empty()) {
    if (kerberos_ != nullptr) offers.push_back("Negotiate");
    offers.push_back("NTLM");
  }
  Reply reply = text_reply(401, "authentication required");
  for (const std::string& offer : offers) reply.headers.push_back("WWW-Authenticate: " + offer);
  return reply;
}

Authenticator::Authenticator(Verification& shared, const std::string& peer_address)
    : shared_(shared),
      peer_(peer_group(peer_address)),
      target_(default_ntlm_target(shared.verifier_)),
      ntlm_(shared.verifier_, target_, NtlmGuard{&shared.service_names_, &shared.throttle_, peer_address}) {}

void Authenticator::authenticate(const std::string& header, ReplyCallback respond, Concluded concluded) {
  const std::size_t space = header.find(' ');
  const std::string scheme = header.substr(0, space);
  const std::string token = credentials_after(header, space);
  if (ascii_iequals(scheme, "NTLM")) return with_ntlm_token(token, "NTLM", std::move(respond), std::move(concluded));
  if (ascii_iequals(scheme, "Negotiate")) {
    if (is_ntlm_token(token)) return with_ntlm_token(token, "Negotiate", std::move(respond), std::move(concluded));
    return with_kerberos_token(token, std::move(respond), std::move(concluded));
  }
  concluded(with_authorization("other", rejected("unsupported authorization scheme \"" + scheme + "\"",
                                                 RefusalCause::OtherScheme,
                                                 "rejected: unsupported authorization scheme")),
            std::move(respond));
}

// The connection reads nothing more until its request is answered, so a check has the
// connection's handshake state to itself.
void Authenticator::with_ntlm_token(const std::string& token, const std::string& scheme, ReplyCallback respond,
                                    Concluded concluded) {
  const Failure not_ready = shared_.verifier_.ready();
  if (!not_ready.ok()) return concluded(with_authorization("NTLM", unavailable(not_ready.why)), std::move(respond));
  // A peer at its limit is refused before the challenge, not after the answer to it: a flood of
  // handshakes from one peer then costs the service one short request each, and the other peers'
  // logons keep the threads.
  if (shared_.peers_.full(peer_)) return concluded(with_authorization("NTLM", busy()), std::move(respond));
  const NtlmResult result = ntlm_.process(token);
  if (result.step == NtlmStep::Challenge)
    return concluded(challenged(result.token_kind, shared_.challenge({scheme + " " + result.reply_token})),
                     std::move(respond));
  if (result.step != NtlmStep::Verify) return concluded(after_ntlm_check(result), std::move(respond));
  std::shared_ptr<PeerSlot> slot = shared_.peers_.take(peer_);
  if (!slot) return concluded(with_authorization(result.token_kind, busy()), std::move(respond));
  const auto reply_to = std::make_shared<ReplyCallback>(std::move(respond));
  shared_.checks_.post([this, slot, concluded = std::move(concluded), reply_to]() mutable {
    const auto started = std::chrono::steady_clock::now();
    const NtlmResult checked = ntlm_.verify();
    slot.reset();
    using Proof = Verification::Proof;
    if (shared_.proofs_)
      shared_.proofs_(false,
                      checked.step == NtlmStep::Accepted      ? Proof::Accepted
                      : checked.step == NtlmStep::Unavailable ? Proof::Unavailable
                                                              : Proof::Rejected,
                      seconds_since(started));
    concluded(after_ntlm_check(checked), std::move(*reply_to));
  });
}

Authentication Authenticator::after_ntlm_check(const NtlmResult& result) {
  Authentication done;
  switch (result.step) {
    case NtlmStep::Accepted:
      done.proven = Identity{result.user, result.domain, true, result.groups, {}};
      break;
    case NtlmStep::Unavailable:
      done = unavailable(result.failure.why);
      break;
    case NtlmStep::Challenge:  // answered before any check
    case NtlmStep::Verify:
    case NtlmStep::Rejected:
      done = rejected(result.failure.why, handshake_refusal_cause(result.failure.why), ntlm_report_kind(result));
      break;
  }
  done.authorization = result.token_kind;
  if (!result.user.empty() || !result.domain.empty()) {
    done.user = result.user;
    done.domain = result.domain;
  }
  return done;
}

void Authenticator::with_kerberos_token(const std::string& token, ReplyCallback respond, Concluded concluded) {
  if (shared_.kerberos_ == nullptr)
    return concluded(with_authorization("Kerberos",
                                        rejected("a Negotiate token that is not NTLM, and Kerberos is not set up "
                                                 "(--keytab)",
                                                 RefusalCause::Other, "rejected: Kerberos not set up")),
                     std::move(respond));
  const std::optional<Bytes> decoded = base64_decode(token);
  if (!decoded || decoded->empty())
    return concluded(with_authorization("Kerberos", rejected("Negotiate token is not valid base64",
                                                             RefusalCause::Other, "rejected: Negotiate token")),
                     std::move(respond));
  // Accepting reads only local files (the keytab's keys, held in memory, and the replay cache) and
  // takes a fraction of a millisecond, so it runs on the connection's thread: no hand-off to the
  // threads that wait for the directory, and never behind them.
  std::shared_ptr<PeerSlot> slot = shared_.peers_.take(peer_);
  if (!slot) return concluded(with_authorization("Kerberos", busy()), std::move(respond));
  const auto started = std::chrono::steady_clock::now();
  const KerberosStep step = kerberos_.accept(*shared_.kerberos_, *decoded);
  slot.reset();
  if (shared_.proofs_ && step.kind != KerberosStep::Kind::Continue)
    shared_.proofs_(true,
                    step.kind == KerberosStep::Kind::Accepted ? Verification::Proof::Accepted
                                                              : Verification::Proof::Rejected,
                    seconds_since(started));
  after_kerberos_step(step, std::move(respond), concluded);
}

void Authenticator::after_kerberos_step(const KerberosStep& step, ReplyCallback respond,
                                        const Concluded& concluded) {
  const std::string token = step.reply_token.empty() ? "" : " " + base64_encode(step.reply_token);
  switch (step.kind) {
    case KerberosStep::Kind::Continue:
      return concluded(challenged("Kerberos", shared_.challenge({"Negotiate" + token})), std::move(respond));
    case KerberosStep::Kind::Accepted: {
      Authentication done = with_authorization("Kerberos", {});
      done.proven = Identity{step.who.user, step.who.domain, true, step.who.groups, {}};
      if (token.empty()) return concluded(std::move(done), std::move(respond));
      // Mutual authentication: the client checks that it reached the service it meant.
      ReplyCallback with_token = [respond = std::move(respond), header = "WWW-Authenticate: Negotiate" + token](
                                     Reply reply) mutable {
        reply.headers.push_back(header);
        respond(std::move(reply));
      };
      return concluded(std::move(done), std::move(with_token));
    }
    case KerberosStep::Kind::Refused:
      break;
  }
  concluded(with_authorization("Kerberos", rejected(step.failure.why, handshake_refusal_cause(step.failure.why),
                                                    "rejected: " + reason_kind(step.failure.why))),
            std::move(respond));
}

Authentication Authenticator::unavailable(const std::string& reason) {
  if (shared_.unavailable_) shared_.unavailable_(reason);
  Authentication done;
  done.outcome = Outcome::of(Outcome::Kind::Unavailable, reason);
  done.report_kind = "unavailable: " + reason_kind(reason);
  done.reply = text_reply(503, "the logon cannot be verified now; try again later");
  done.reply.headers.push_back(kDomainRetryAfter);
  return done;
}

Authentication Authenticator::busy() {
  Authentication done;
  done.outcome = Outcome::of(Outcome::Kind::Unavailable,
                             "this peer has " + std::to_string(kPeerVerifications) + " verifications under way");
  done.report_kind = "unavailable: a peer's verifications";
  done.reply = text_reply(503, "too many logons of this address are being verified; try again later");
  done.reply.headers.push_back(kBusyRetryAfter);
  return done;
}

Authentication Authenticator::rejected(const std::string& reason, RefusalCause cause,
                                       const std::string& report_kind) {
  ++shared_.rejected_;
  Authentication done;
  done.outcome = Outcome::refusal(Outcome::Kind::Rejected, reason, cause);
  done.report_kind = report_kind;
  done.reply = shared_.challenge();
  return done;
}
