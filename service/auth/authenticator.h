// Who a request comes from: the NTLM and Kerberos handshakes of one connection, and what they share.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/job_queue.h"
#include "config/options.h"
#include "http/reply.h"
#include "http/reply_callback.h"
#include "ntlm/ntlm_server.h"
#include "ntlm/throttle.h"
#include "outcome/outcome.h"
#include "verify/kerberos.h"
#include "verify/verifier.h"

// A user the handshake proved, or, in test mode, the one a retry without credentials claims.
struct Identity {
  std::string user;
  std::string domain;
  bool authenticated = false;
  std::vector<std::string> groups;  // SIDs, from the directory
  std::vector<std::string> group_names;  // DOMAIN\Name of each, once named (empty: unnamed)
};

// What a handshake came to: the kind of token it read, the user it names (claimed or proven) and,
// unless it proved the user, its own answer to the request and what that answer comes to.
struct Authentication {
  // NTLM-negotiate, NTLM-authenticate, NTLM-malformed, NTLM (refused before its token was read),
  // Kerberos, other
  std::string authorization;
  std::optional<std::string> user;
  std::optional<std::string> domain;
  std::optional<Identity> proven;
  Reply reply;  // when no user is proven: a challenge, a refusal, 503
  Outcome outcome;
  std::string report_kind;  // its line on stderr is limited with others of this kind; empty: no line
};

// How many verifications of each peer (an IPv4 address, an IPv6 /64, one link's link-local addresses: see peer_group) are under
// way, so that one peer cannot take every thread that waits for the directory.
class PeerVerifications;

// One verification of a peer under way: its slot is given back when the guard goes.
class PeerSlot {
 public:
  PeerSlot(PeerVerifications& owner, std::string group) : owner_(owner), group_(std::move(group)) {}
  ~PeerSlot();
  PeerSlot(const PeerSlot&) = delete;
  PeerSlot& operator=(const PeerSlot&) = delete;

 private:
  PeerVerifications& owner_;
  const std::string group_;
};

class PeerVerifications {
 public:
  explicit PeerVerifications(int limit) : limit_(limit) {}
  // A slot for one verification of `group`; null while the group has its limit under way. Shared,
  // since the queued job that holds it must be copyable.
  std::shared_ptr<PeerSlot> take(const std::string& group);
  // Whether `group` has its limit under way now: a handshake it begins would only be refused.
  bool full(const std::string& group);

 private:
  friend class PeerSlot;
  void give_back(const std::string& group);

  const int limit_;
  std::mutex mutex_;
  std::unordered_map<std::string, int> under_way_;
};

// What every connection's handshakes share: the verifiers, the names the service answers to, the
// failed-logon throttle, the threads on which NTLM verifications (which may wait for a domain
// controller) run, and how many of them each peer has under way.
class Verification {
 public:
  // `kerberos` may be null: no Kerberos, NTLM only. `rejected` counts refused handshakes.
  Verification(const Options& options, NtlmVerifier& verifier, const KerberosAcceptor* kerberos,
               std::atomic<std::uint64_t>& rejected);

  // 401 with the schemes this service offers, or with `offers` when there are any.
  Reply challenge(std::vector<std::string> offers = {}) const;
  LogonThrottle& throttle() { return throttle_; }
  // Told of every proof that ran: by Kerberos or not (NTLM), its result, and how long it took.
  enum class Proof { Accepted, Rejected, Unavailable };
  using ProofObserver = std::function<void(bool kerberos, Proof proof, double seconds)>;
  // Told of every 503 of the directory, with its reason.
  using UnavailableObserver = std::function<void(const std::string& reason)>;
  void observe(ProofObserver proofs, UnavailableObserver unavailable) {
    proofs_ = std::move(proofs);
    unavailable_ = std::move(unavailable);
  }
  // Lets the verifications under way finish (their replies go to the network loop, which must
  // still exist) and stops the threads.
  void stop() { checks_.stop(); }

 private:
  friend class Authenticator;

  NtlmVerifier& verifier_;
  const KerberosAcceptor* const kerberos_;
  const std::vector<std::string> service_names_;
  LogonThrottle throttle_;
  std::atomic<std::uint64_t>& rejected_;
  ProofObserver proofs_;
  UnavailableObserver unavailable_;
  JobQueue checks_;
  PeerVerifications peers_;
};

// One connection's authenticator: it owns the connection's handshake state (the NTLM challenge
// issued, the Kerberos context), so that a handshake's rounds are bound to their connection.
class Authenticator {
 public:
  // Takes what the handshake came to, and where the request's reply goes: once a user is proven,
  // Kerberos' mutual-authentication token goes with whatever is answered there.
  using Concluded = std::function<void(Authentication, ReplyCallback)>;

  Authenticator(Verification& shared, const std::string& peer_address);

  // Runs the handshake of an Authorization header; `concluded` is called once, perhaps on a
  // verifying thread.
  void authenticate(const std::string& header, ReplyCallback respond, Concluded concluded);
  Reply challenge() const { return shared_.challenge(); }

 private:
  void with_ntlm_token(const std::string& token, const std::string& scheme, ReplyCallback respond,
                       Concluded concluded);
  Authentication after_ntlm_check(const NtlmResult& result);
  void with_kerberos_token(const std::string& token, ReplyCallback respond, Concluded concluded);
  void after_kerberos_step(const KerberosStep& step, ReplyCallback respond, const Concluded& concluded);
  // A refusal, counted; its line on stderr is limited with others of `report_kind`, and an empty
  // kind keeps it off stderr (a throttled guess, whose refusal was reported when it started).
  // Answered with a fresh challenge.
  Authentication rejected(const std::string& reason, RefusalCause cause, const std::string& report_kind);
  // 503: nobody could verify the logon now.
  Authentication unavailable(const std::string& reason);
  // 503: the peer has as many verifications under way as it may.
  Authentication busy();

  Verification& shared_;
  const std::string peer_;  // the peer's group, whose verifications are counted together
  // How this connection's challenges name the service: the directory's names when it opened
  // (winbind's come with its first answer, which may follow the start).
  const NtlmTarget target_;
  NtlmServerSession ntlm_;
  KerberosExchange kerberos_;
};
