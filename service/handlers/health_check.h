// The answer of `/healthz`: whether the map takes a real write and a read in bounded time, and users can be proven.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/job_queue.h"
#include "usermap/user_map.h"

// The ways the service proves who a user is, as they stand now: each named, with what is wrong
// with it ("" when nothing is).
struct ProofMethod {
  std::string name;  // "Kerberos", "NTLM through winbind", "NTLM by the accounts file"
  std::string problem;
};

struct HealthResult {
  bool healthy = false;
  std::string text;  // "ok: ..." or what is wrong
};

// A balancer sends users only to an instance that can serve them, and away from one that cannot
// through its own fault: so the check fails for the map, which no other instance would be spared,
// and when no way to prove users is left; an outage of one way while another works (winbind gone,
// Kerberos still accepting tickets with the keytab alone) is named in the text but leaves it healthy,
// since every instance would meet it alike and taking them all out would serve nobody.
//
// One check runs at a time, on a thread of its own (a round), and answers everyone who asked while it
// ran; a result younger than a second answers at once, so that no flood of questions becomes a
// flood of writes. A check that does not finish within `deadline` is answered as unhealthy,
// and no other starts until it has finished, so that a writer that hangs collects no more of them.
class HealthCheck {
 public:
  using Done = std::function<void(const HealthResult&)>;

  // The ways of proving users, and what is wrong with each (winbind, its domain controller, the
  // keytab). It must answer at once: it reads what others found out.
  using ProofMethods = std::function<std::vector<ProofMethod>()>;

  HealthCheck(UserMap& users, std::chrono::milliseconds deadline, ProofMethods methods);
  ~HealthCheck();
  HealthCheck(const HealthCheck&) = delete;
  HealthCheck& operator=(const HealthCheck&) = delete;

  // `done` is called once, on the checking thread, at the latest after the deadline.
  void ask(Done done);

 private:
  struct Shared;
  // Answers everyone waiting with one check.
  void round();
  HealthResult check(std::unique_lock<std::mutex>& lock);

  UserMap& users_;
  const std::chrono::milliseconds deadline_;
  const ProofMethods methods_;
  std::shared_ptr<Shared> shared_;
  JobQueue rounds_{1};  // last: its thread ends before what it uses goes
};
