// The parameters of the status views (`/`, `/status.json`): the page, its filters and the search box.
#include "pages/status_query.h"

#include <cstdlib>

#include "common/address.h"

namespace {

constexpr const char* kKnownParameters = "q, host, ip, user, show, limit and offset";

// NAME or DOMAIN\NAME.
bool read_user(const std::string& text, std::string* user, std::string* domain) {
  const std::size_t slash = text.find('\\');
  *domain = slash == std::string::npos ? "" : text.substr(0, slash);
  *user = slash == std::string::npos ? text : text.substr(slash + 1);
  return !user->empty() && user->find('\\') == std::string::npos;
}

// Sets a filter that the search box and a parameter of its own may both set: to one value only.
bool set_filter(std::string* field, const std::string& value) {
  if (!field->empty() && *field != value) return false;
  *field = value;
  return true;
}

bool read_search(const std::string& text, MapQuery* q, std::string* error) {
  const std::string address = canonical_address(text);
  std::string user;
  std::string domain;
  bool ok = true;
  if (!address.empty()) {
    ok = set_filter(&q->ip, address);
  } else if (text.find('\\') != std::string::npos) {
    if (!read_user(text, &user, &domain)) {
      *error = "q must be an address, DOMAIN\\NAME, or the beginning of a user or host name";
      return false;
    }
    ok = set_filter(&q->user, user) && set_filter(&q->domain, domain);
  } else {
    q->prefix = text;
  }
  if (!ok) *error = "q and ip or user look up different things; give one of them";
  return ok;
}

bool read_show(const std::string& text, MapShow* out) {
  if (text == "stale") *out = MapShow::Stale;
  if (text == "conflicts") *out = MapShow::Conflicts;
  if (text == "unproven") *out = MapShow::Unproven;
  return text == "stale" || text == "conflicts" || text == "unproven";
}

bool read_param(const QueryParam& p, StatusQuery* out, std::string* error) {
  MapQuery& q = out->map;
  if (p.name == "limit" && !read_count(p.value, 1, kMaxPageLimit, &q.limit)) {
    *error = "limit must be a whole number from 1 to " + std::to_string(kMaxPageLimit);
  } else if (p.name == "offset" && !read_count(p.value, 0, kMaxOffset, &q.offset)) {
    *error = "offset must be a whole number from 0 to " + std::to_string(kMaxOffset);
  } else if (p.name == "limit" || p.name == "offset" || p.value.empty()) {
    return true;
  } else if (p.name == "q") {
    out->search = p.value;
    return read_search(p.value, &q, error);
  } else if (p.name == "host") {
    q.host = p.value;
  } else if (p.name == "ip") {
    const std::string address = canonical_address(p.value);
    if (address.empty()) *error = "ip must be a numeric IPv4 or IPv6 address, not \"" + p.value + "\"";
    if (!address.empty() && !set_filter(&q.ip, address)) *error = "q and ip look up different addresses";
  } else if (p.name == "user") {
    std::string user;
    std::string domain;
    if (!read_user(p.value, &user, &domain)) *error = "user must be NAME or DOMAIN\\NAME";
    if (error->empty() && !(set_filter(&q.user, user) && set_filter(&q.domain, domain)))
      *error = "q and user look up different users";
  } else if (p.name == "show") {
    if (!read_show(p.value, &q.show)) *error = "show must be stale, conflicts or unproven, not \"" + p.value + "\"";
  }
  return error->empty();
}

}  // namespace

bool read_count(const std::string& text, std::size_t low, std::size_t high, std::size_t* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10) return false;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value < low || value > high) return false;
  *out = static_cast<std::size_t>(value);
  return true;
}

bool read_status_query(const std::vector<QueryParam>& params, StatusQuery* out, std::string* error) {
  *out = StatusQuery();
  error->clear();
  static const std::vector<std::string> known = {"q", "host", "ip", "user", "show", "limit", "offset"};
  std::vector<std::string> seen;
  for (const QueryParam& p : params) {
    bool is_known = false;
    for (const std::string& name : known) is_known = is_known || p.name == name;
    if (!is_known) {
      *error = "unknown parameter \"" + p.name + "\"; the status views take " + kKnownParameters;
      return false;
    }
    for (const std::string& name : seen) {
      if (name == p.name) {
        *error = "parameter \"" + p.name + "\" is given more than once";
        return false;
      }
    }
    seen.push_back(p.name);
    if (p.name != "limit" && p.name != "offset" && !p.value.empty()) out->filters.push_back(p);
  }
  for (const QueryParam& p : params) {
    if (!read_param(p, out, error)) return false;
  }
  return true;
}
