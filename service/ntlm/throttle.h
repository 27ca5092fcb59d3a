// Bookkeeping of failed logons per account and peer address, to slow down password guessing.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

// After `limit` failures of one (account, peer address) pair within `seconds`,
// that pair is refused for `seconds` without its answers being checked. Other
// accounts from that address, and that account from other addresses, go on as
// usual; a success is never delayed and forgets the pair's failures.
class LogonThrottle {
 public:
  // A limit of 0 turns the throttle off.
  LogonThrottle(unsigned limit, std::int64_t seconds);

  // Seconds the pair is still refused; 0 when it may try.
  std::int64_t refused_for(const std::string& account, const std::string& peer, std::int64_t now);
  // Counts a failure; true when it is the one that starts a refusal.
  bool failed(const std::string& account, const std::string& peer, std::int64_t now);
  void succeeded(const std::string& account, const std::string& peer);

  unsigned limit() const { return limit_; }
  std::int64_t seconds() const { return seconds_; }

 private:
  struct Pair {
    std::int64_t window_start = 0;
    unsigned failures = 0;
    std::int64_t refused_until = 0;
  };

  void forget_stale(std::int64_t now);

  const unsigned limit_;
  const std::int64_t seconds_;
  std::mutex mutex_;
  std::unordered_map<std::string, Pair> pairs_;
  std::int64_t last_sweep_ = 0;
};
