// The status page (HTML) and status document (JSON): who is logged on where, and counters since start.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "query.h"
#include "user_map.h"

struct ServiceCounters {
  std::atomic<std::uint64_t> connections{0};
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> logins{0};
  std::atomic<std::uint64_t> logouts{0};
  std::atomic<std::uint64_t> rejected{0};  // refused NTLM tokens: wrong password, unknown user, replay, malformed
};

constexpr std::size_t kDefaultPageLimit = 500;
constexpr std::size_t kMaxPageLimit = 1000;

// Reads the page and lookup parameters of `/` and `/status.json`: limit (1 to
// kMaxPageLimit), offset, ip (a numeric address, kept in its canonical form) and
// user (NAME or DOMAIN\NAME). Other parameters are ignored.
bool read_status_query(const std::vector<QueryParam>& params, MapQuery* out, std::string* error);

// `entries` is what UserMap::find returned: one more than the limit when another page follows.
std::string status_json(const std::vector<LogonEntry>& entries, const MapQuery& query, std::int64_t interval,
                        const ServiceCounters& counters, std::int64_t now);
std::string status_html(const std::vector<LogonEntry>& entries, const MapQuery& query, std::int64_t interval,
                        const ServiceCounters& counters, std::int64_t now);
