// What every store of the user map shares: which addresses an entry is found at, and the stored address list.
#include "usermap/map_store.h"

#include <algorithm>

#include "common/address.h"

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

std::string like_prefix_pattern(const std::string& prefix) {
  std::string out;
  for (char c : prefix) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out + '%';
}

std::string proven_sql(const std::string& address, const std::string& now) {
  return "(EXISTS (SELECT 1 FROM logons p WHERE p.peer = " + address + " AND p.expires > " + now +
         ") OR EXISTS (SELECT 1 FROM logon_addresses pa JOIN logons pr ON pr.id = pa.logon WHERE pa.address = " +
         address + " AND pr.relayed AND pr.expires > " + now + "))";
}

std::string not_credited_sql(const std::string& now) {
  return "NOT l.relayed AND c.address <> l.peer AND " + proven_sql("c.address", now);
}

std::string uncredited_claims_sql(const std::string& id, const std::string& now) {
  return "SELECT c.address FROM logons l JOIN logon_addresses c ON c.logon = l.id WHERE l.id = " + id + " AND " +
         not_credited_sql(now);
}

std::string claims_at_sql(const std::string& address, const std::string& id, const std::string& now) {
  return "SELECT l.\"user\", l.domain, l.host FROM logon_addresses a JOIN logons l ON l.id = a.logon WHERE a.address = " +
         address + " AND l.id <> " + id + " AND NOT l.relayed AND l.peer <> " + address + " AND l.expires > " + now +
         " ORDER BY l.last_seen DESC LIMIT 5";
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
