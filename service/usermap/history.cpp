// The events of the map's changes.
#include "usermap/history.h"

std::vector<LogonEvent> entry_events(const char* kind, const EntryNames& entry, const std::vector<std::string>& addresses,
                                     std::int64_t at) {
  std::vector<LogonEvent> out;
  for (const std::string& address : addresses)
    out.push_back(LogonEvent{at, kind, entry.user, entry.domain, entry.host, address});
  if (out.empty()) out.push_back(LogonEvent{at, kind, entry.user, entry.domain, entry.host, ""});
  return out;
}

std::vector<LogonEvent> credit_events(const std::vector<CreditChange>& changes, std::int64_t at) {
  std::vector<LogonEvent> out;
  for (const CreditChange& c : changes) {
    if (!c.before.user.empty() || !c.before.host.empty())
      out.push_back(LogonEvent{at, kEventUncredited, c.before.user, c.before.domain, c.before.host, c.address});
    if (!c.after.user.empty() || !c.after.host.empty())
      out.push_back(LogonEvent{at, kEventCredited, c.after.user, c.after.domain, c.after.host, c.address});
  }
  return out;
}
