// The parameters of `/history.json`.
#include "pages/history_query.h"

#include <cstdlib>

#include "common/address.h"
#include "common/text.h"
#include "pages/status_query.h"

namespace {

constexpr const char* kTimeShape =
    "a time such as 2026-12-07T14:05:00Z, 2026-12-07T15:05+01:00 or 2026-12-07 15:05 (the service's local time)";

bool read_time(const QueryParam& p, std::int64_t* out, std::string* error) {
  if (parse_iso8601(p.value, out)) return true;
  *error = p.name + " must be " + kTimeShape + ", not \"" + p.value + "\"";
  return false;
}

bool read_user(const std::string& text, HistoryQuery* q, std::string* error) {
  const std::size_t slash = text.find('\\');
  q->domain = slash == std::string::npos ? "" : text.substr(0, slash);
  q->user = slash == std::string::npos ? text : text.substr(slash + 1);
  if (!q->user.empty() && q->user.find('\\') == std::string::npos) return true;
  *error = "user must be NAME or DOMAIN\\NAME";
  return false;
}

bool read_param(const QueryParam& p, HistoryRequest* out, std::string* error) {
  HistoryQuery& q = out->events;
  if (p.value.empty()) return true;
  if (p.name == "ip") {
    q.ip = out->moment.ip = canonical_address(p.value);
    if (q.ip.empty()) *error = "ip must be a numeric IPv4 or IPv6 address, not \"" + p.value + "\"";
  } else if (p.name == "user") {
    return read_user(p.value, &q, error);
  } else if (p.name == "host") {
    q.host = p.value;
  } else if (p.name == "since") {
    return read_time(p, &q.since, error);
  } else if (p.name == "until") {
    return read_time(p, &q.until, error);
  } else if (p.name == "at") {
    out->holders = true;
    return read_time(p, &out->moment.at, error);
  } else if (p.name == "limit" && !read_count(p.value, 1, kMaxHistoryLimit, &q.limit)) {
    *error = "limit must be a whole number from 1 to " + std::to_string(kMaxHistoryLimit);
  } else if (p.name == "offset" && !read_count(p.value, 0, kMaxOffset, &q.offset)) {
    *error = "offset must be a whole number from 0 to " + std::to_string(kMaxOffset);
  }
  return error->empty();
}

// What at may be given with: the address alone.
bool check_moment(const std::vector<QueryParam>& params, const HistoryRequest& request, std::string* error) {
  if (!request.holders) return true;
  for (const QueryParam& p : params) {
    if (p.name != "ip" && p.name != "at" && !p.value.empty()) {
      *error = "at asks who held an address at that moment: give it with ip alone, not with " + p.name;
      return false;
    }
  }
  if (!request.moment.ip.empty()) return true;
  *error = "at asks who held an address at that moment: give ip too";
  return false;
}

}  // namespace

bool read_history_request(const std::vector<QueryParam>& params, HistoryRequest* out, std::string* error) {
  *out = HistoryRequest();
  out->events.limit = kDefaultHistoryLimit;
  error->clear();
  static const std::vector<std::string> known = {"ip", "user", "host", "since", "until", "at", "limit", "offset"};
  std::vector<std::string> seen;
  for (const QueryParam& p : params) {
    bool is_known = false;
    for (const std::string& name : known) is_known = is_known || p.name == name;
    for (const std::string& name : seen) {
      if (name == p.name) *error = "parameter \"" + p.name + "\" is given more than once";
    }
    if (!is_known)
      *error = "unknown parameter \"" + p.name + "\"; /history.json takes ip, user, host, since, until, limit and "
               "offset, or ip and at";
    if (!error->empty() || !read_param(p, out, error)) return false;
    seen.push_back(p.name);
  }
  const HistoryQuery& q = out->events;
  if (q.since != 0 && q.until != 0 && q.since > q.until) {
    *error = "since is after until";
    return false;
  }
  return check_moment(params, *out, error);
}
