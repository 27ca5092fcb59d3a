// The agent's logon request: the parameters of a login or logout as the agents send them.
#include "requests/logon_request.h"

#include <algorithm>

#include "common/address.h"
#include "common/text.h"

namespace {

// Four dot-separated numbers of up to three digits, each at most 255: leading zeros allowed.
bool is_dotted_quad(std::string_view text) {
  int parts = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t dot = std::min(text.find('.', start), text.size());
    const std::string_view part = text.substr(start, dot - start);
    if (part.empty() || part.size() > 3) return false;
    int value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return false;
    ++parts;
    start = dot + 1;
  }
  return parts == 4;
}

bool read_ip_list(const std::string& text, std::vector<std::string>* out, std::string* error) {
  out->clear();
  if (text.empty()) return true;
  for (const std::string& address : split_commas(text)) {
    // Agents write addresses as inet_ntoa does. A leading zero has no one meaning (octal to
    // inet_aton, decimal to others), so such an address is refused rather than guessed at.
    if (is_dotted_quad(address) && !is_canonical_ipv4(address)) {
      *error = "ip holds \"" + address + "\", an IPv4 address with leading zeros, which some read as octal; "
               "write it without them";
      return false;
    }
    if (!is_canonical_ipv4(address)) {
      *error = "ip is not a comma-separated list of IPv4 addresses: \"" + text + "\"";
      return false;
    }
    out->push_back(address);
  }
  return true;
}

bool take_single(const QueryParam& p, bool* seen, std::string* error) {
  if (*seen) {
    *error = "parameter \"" + p.name + "\" given twice";
    return false;
  }
  *seen = true;
  return true;
}

}  // namespace

bool read_logon_request(const std::vector<QueryParam>& params, LogonRequest* out, std::string* error) {
  *out = LogonRequest();
  bool seen_action = false, seen_host = false, seen_persistent = false, seen_ip = false, seen_sec = false;
  for (const QueryParam& p : params) {
    if (p.name == "action") {
      if (!take_single(p, &seen_action, error)) return false;
      if (p.value != "login" && p.value != "logout") {
        *error = "action must be login or logout, not \"" + p.value + "\"";
        return false;
      }
      out->action = p.value == "login" ? LogonAction::Login : LogonAction::Logout;
    } else if (p.name == "hostname") {
      if (!take_single(p, &seen_host, error)) return false;
      out->hostname = p.value;
    } else if (p.name == "persistent") {
      if (!take_single(p, &seen_persistent, error)) return false;
      if (p.value != "0" && p.value != "1") {
        *error = "persistent must be 0 or 1, not \"" + p.value + "\"";
        return false;
      }
      out->persistent = p.value == "1";
    } else if (p.name == "domain") {
      out->domains.push_back(p.value);
    } else if (p.name == "ntlm_sess_sec") {
      if (!take_single(p, &seen_sec, error)) return false;
      out->session_security = p.value == "1";
    } else if (p.name == "ip") {
      if (!take_single(p, &seen_ip, error) || !read_ip_list(p.value, &out->ips, error)) return false;
    }
  }
  if (!seen_action) *error = "missing parameter \"action\"";
  else if (!seen_host || out->hostname.empty()) *error = "missing parameter \"hostname\"";
  return seen_action && seen_host && !out->hostname.empty();
}
