// The events of the map's changes.
#include "usermap/history.h"

#include <algorithm>

std::vector<LogonEvent> entry_events(const char* kind, const EntryNames& entry, const std::vector<std::string>& addresses,
                                     std::int64_t at) {
  std::vector<LogonEvent> out;
  for (const std::string& address : addresses)
    out.push_back(LogonEvent{at, kind, entry.user, entry.domain, entry.host, address});
  if (out.empty()) out.push_back(LogonEvent{at, kind, entry.user, entry.domain, entry.host, ""});
  return out;
}

std::vector<LogonEvent> credit_events(const std::vector<CreditChange>& changes) {
  std::vector<LogonEvent> out;
  const auto holds = [](const std::vector<CreditHolder>& holders, const CreditHolder& h) {
    return std::find(holders.begin(), holders.end(), h) != holders.end();
  };
  for (const CreditChange& c : changes) {
    for (const CreditHolder& h : c.before)
      if (!holds(c.after, h)) out.push_back(LogonEvent{c.at, kEventUncredited, h.user, h.domain, h.host, c.address});
    for (const CreditHolder& h : c.after)
      if (!holds(c.before, h)) out.push_back(LogonEvent{c.at, kEventCredited, h.user, h.domain, h.host, c.address});
  }
  return out;
}
