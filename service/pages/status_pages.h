// The status page (HTML) and status document (JSON): who is logged on where, and counters since start.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "user_map.h"

struct ServiceCounters {
  std::atomic<std::uint64_t> connections{0};
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> logins{0};
  std::atomic<std::uint64_t> logouts{0};
  std::atomic<std::uint64_t> rejected{0};  // refused NTLM tokens: wrong password, unknown user, replay, malformed
};

std::string status_json(const std::vector<LogonEntry>& entries, std::int64_t interval, const ServiceCounters& counters,
                        std::int64_t now);
std::string status_html(const std::vector<LogonEntry>& entries, std::int64_t interval, const ServiceCounters& counters,
                        std::int64_t now);
