// The answer of `/healthz`: whether the map takes a real write and a read in bounded time, and users can be proven.
#include "handlers/health_check.h"

#include <ctime>

namespace {

using Clock = std::chrono::steady_clock;
// A result this young answers without another check.
constexpr auto kFresh = std::chrono::seconds(1);

// The map is well: healthy while some way of proving users works, with the ways that do not named.
HealthResult with_methods(const std::vector<ProofMethod>& methods, const std::string& map) {
  std::string working;
  std::string degraded;
  for (const ProofMethod& method : methods) {
    std::string& list = method.problem.empty() ? working : degraded;
    list += (list.empty() ? "" : "; ") + method.name + (method.problem.empty() ? "" : ": " + method.problem);
  }
  if (working.empty())
    return HealthResult{false, "no way to prove users is left" + (degraded.empty() ? "" : " (" + degraded + ")") +
                                   "; " + map};
  return HealthResult{true, "ok: " + map + (degraded.empty() ? "" : "; degraded: " + degraded)};
}

}  // namespace

struct HealthCheck::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Done> waiting;
  bool stopping = false;
  bool round_posted = false;  // a round will answer those waiting
  bool running = false;     // a check is under way
  Clock::time_point started;  // of the check under way
  bool have_result = false;
  HealthResult result;  // of the last check that finished
  Clock::time_point finished;

  void finish(HealthResult outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    running = false;
    have_result = true;
    result = std::move(outcome);
    finished = Clock::now();
    changed.notify_all();
  }
};

HealthCheck::HealthCheck(UserMap& users, std::chrono::milliseconds deadline, ProofMethods methods)
    : users_(users), deadline_(deadline), methods_(std::move(methods)), shared_(std::make_shared<Shared>()) {}

HealthCheck::~HealthCheck() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    shared_->changed.notify_all();
  }
  rounds_.stop();
}

void HealthCheck::ask(Done done) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (!shared_->stopping) {
    shared_->waiting.push_back(std::move(done));
    if (!shared_->round_posted) {
      shared_->round_posted = true;
      rounds_.post([this] { round(); });
    }
    return;
  }
  done(HealthResult{false, "the service is stopping"});
}

void HealthCheck::round() {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.round_posted = false;
  if (s.waiting.empty()) return;  // answered by the round before
  const HealthResult result = s.stopping ? HealthResult{false, "the service is stopping"} : check(lock);
  std::vector<Done> answer;
  answer.swap(s.waiting);
  lock.unlock();
  for (Done& done : answer) done(result);
}

// The write goes through the writer, after the changes queued before it; the read through the
// reader of listings. Called and returning with the lock held.
HealthResult HealthCheck::check(std::unique_lock<std::mutex>& lock) {
  Shared& s = *shared_;
  if (s.have_result && !s.running && Clock::now() - s.finished < kFresh) return s.result;
  if (!s.running) {
    s.running = true;
    s.started = Clock::now();
    lock.unlock();
    std::shared_ptr<Shared> shared = shared_;
    UserMap& users = users_;
    const std::vector<ProofMethod> methods = methods_();
    // The map's failures name it already: the texts say only why.
    users.check([shared, &users, methods](const Failure& written) {
      if (!written.ok())
        return shared->finish(HealthResult{false, "the user map cannot be written: " + written.why});
      users.count_current(std::time(nullptr), [shared, methods](std::int64_t count, const Failure& read) {
        if (!read.ok()) return shared->finish(HealthResult{false, "the user map cannot be read: " + read.why});
        const std::string map = "the user map takes writes and answers reads; " + std::to_string(count) +
                                " entries are logged on";
        shared->finish(with_methods(methods, map));
      });
    });
    lock.lock();
  }
  s.changed.wait_until(lock, s.started + deadline_, [&] { return !s.running || s.stopping; });
  if (!s.running) return s.result;
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.started);
  return HealthResult{false, "the user map has not finished a check begun " + std::to_string(waited.count()) +
                                 " ms ago (at most " + std::to_string(deadline_.count()) +
                                 " ms are allowed): its writer waits for a lock another program holds on the map, "
                                 "or for the disk"};
}
