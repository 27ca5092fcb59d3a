// What the service has done since it started, counted where it happens and shown by the status views.
#pragma once

#include <atomic>
#include <cstdint>

struct ServiceCounters {
  std::atomic<std::uint64_t> connections{0};
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> logins{0};
  std::atomic<std::uint64_t> logouts{0};
  std::atomic<std::uint64_t> rejected{0};  // refused NTLM tokens: wrong password, unknown user, replay, malformed
};
