// What every store of the user map shares: which addresses an entry is found at, how names compare, and the stored address list.
#include "usermap/map_store.h"

#include <algorithm>

#include "common/address.h"

bool MapConnection::record_change(const std::vector<LogonEvent>& events, std::vector<CreditChange>* credit,
                                  std::string* error) {
  for (CreditChange& c : *credit) {
    if (!credited_at(c.address, c.at, &c.after, error)) return false;
    std::sort(c.after.begin(), c.after.end());
  }
  std::vector<LogonEvent> all = events;
  const std::vector<LogonEvent> changed = credit_events(*credit);
  all.insert(all.end(), changed.begin(), changed.end());
  return record_events(all, error);
}

std::vector<std::string> lookup_addresses(const std::vector<std::string>& ips, const std::string& peer) {
  if (ips.empty()) return {peer};  // written by the service itself, as inet_ntop writes it
  std::vector<std::string> out;
  for (const std::string& ip : ips) {
    if (is_canonical_ipv4(ip) && std::find(out.begin(), out.end(), ip) == out.end()) out.push_back(ip);
  }
  return out;
}

std::vector<std::string> unmatched_addresses(const std::vector<std::string>& ips) {
  std::vector<std::string> out;
  for (const std::string& ip : ips) {
    if (!is_canonical_ipv4(ip)) out.push_back(ip);
  }
  return out;
}

std::string folded_names(const LogonEntry& e) {
  std::string out = e.user + '\n' + e.domain + '\n' + e.host;
  for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

std::string like_prefix_pattern(const std::string& prefix) {
  std::string out;
  for (char c : prefix) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out + '%';
}

std::string join_addresses(const std::vector<std::string>& ips) {
  std::string out;
  for (std::size_t i = 0; i < ips.size(); ++i) out += (i == 0 ? "" : ",") + ips[i];
  return out;
}

std::vector<std::string> split_addresses(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (!text.empty() && start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    out.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}
