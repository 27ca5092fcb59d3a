// The answer of `/healthz`: whether the user map takes a real write through its writer and a read through a reader, within a bounded time, and the directory answers.
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

struct HealthResult {
  bool healthy = false;
  std::string text;  // "ok: ..." or what is wrong
};

// One check runs at a time, on a thread of its own (a round), and answers everyone who asked while it
// ran; a result younger than a second answers at once, so that no flood of questions becomes a
// flood of writes. A check that does not finish within `deadline` is answered as unhealthy,
// and no other starts until it has finished, so that a writer that hangs collects no more of them.
class HealthCheck {
 public:
  using Done = std::function<void(const HealthResult&)>;

  // What is wrong with the directory the verifiers ask (winbind, its domain controller, the
  // keytab): empty when nothing is. It must answer at once: it reads what others found out.
  using DirectoryProblem = std::function<std::string()>;

  HealthCheck(UserMap& users, std::chrono::milliseconds deadline, DirectoryProblem directory = nullptr);
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
  const DirectoryProblem directory_;
  std::shared_ptr<Shared> shared_;
  JobQueue rounds_{1};  // last: its thread ends before what it uses goes
};
