// Bookkeeping of failed logons per account and peer address, to slow down password guessing.
#include "throttle.h"

namespace {

// Enough for every account of a large site failing from many machines at once;
// beyond it, failures of new pairs go uncounted until old ones expire, so that
// an attacker with many addresses cannot make the service grow without bound.
constexpr std::size_t kMaxPairs = 100000;

std::string pair_key(const std::string& account, const std::string& peer) { return account + '\n' + peer; }

}  // namespace

LogonThrottle::LogonThrottle(unsigned limit, std::int64_t seconds) : limit_(limit), seconds_(seconds) {}

std::int64_t LogonThrottle::refused_for(const std::string& account, const std::string& peer, std::int64_t now) {
  if (limit_ == 0) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = pairs_.find(pair_key(account, peer));
  if (it == pairs_.end() || it->second.refused_until <= now) return 0;
  return it->second.refused_until - now;
}

bool LogonThrottle::failed(const std::string& account, const std::string& peer, std::int64_t now) {
  if (limit_ == 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string key = pair_key(account, peer);
  auto it = pairs_.find(key);
  if (it == pairs_.end()) {
    if (pairs_.size() >= kMaxPairs) forget_stale(now);
    if (pairs_.size() >= kMaxPairs) return false;
    it = pairs_.emplace(key, Pair{now, 0, 0}).first;
  }
  Pair& pair = it->second;
  if (now - pair.window_start >= seconds_) pair = Pair{now, 0, 0};
  ++pair.failures;
  if (pair.failures < limit_) return false;
  pair.refused_until = now + seconds_;
  pair.window_start = pair.refused_until;  // counting starts afresh once the refusal ends
  pair.failures = 0;
  return true;
}

void LogonThrottle::succeeded(const std::string& account, const std::string& peer) {
  if (limit_ == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  pairs_.erase(pair_key(account, peer));
}

// A full sweep is costly, so a full table is swept at most once a second.
void LogonThrottle::forget_stale(std::int64_t now) {
  if (now == last_sweep_) return;
  last_sweep_ = now;
  for (auto it = pairs_.begin(); it != pairs_.end();) {
    const bool stale = it->second.refused_until <= now && now - it->second.window_start >= seconds_;
    it = stale ? pairs_.erase(it) : std::next(it);
  }
}
