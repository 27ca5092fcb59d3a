// The writer's purge: the entries that ran out are removed with the credit they held, and the old history forgotten.
#include "usermap/map_purge.h"

#include <algorithm>

#include "common/diagnostics.h"
#include "usermap/history.h"

namespace {

// The entries that ran out are recorded as expired when they did.
bool record_expired(MapConnection& db, const std::vector<LogonEntry>& removed, std::string* error) {
  std::vector<LogonEvent> events;
  for (const LogonEntry& e : removed) {
    const std::vector<LogonEvent> ended =
        entry_events(kEventExpired, EntryNames{e.user, e.domain, e.host}, lookup_addresses(e.ips, e.peer), e.expires);
    events.insert(events.end(), ended.begin(), ended.end());
  }
  return db.record_events(events, error);
}

// The entry of `removed` credited at `c`, or none when a later purge is left to remove it
// (another service holds it).
const LogonEntry* removed_holder(const std::vector<LogonEntry>& removed, const CreditedAddress& c) {
  const auto found = std::find_if(removed.begin(), removed.end(), [&c](const LogonEntry& e) {
    return e.user == c.holder.user && e.domain == c.holder.domain && e.host == c.holder.host;
  });
  return found == removed.end() ? nullptr : &*found;
}

// The credit the purge took: from the entries it removed, at each address they were credited at,
// dated when the last of them there ran out, as their expiries are; those still live there keep theirs.
bool purged_credit_changes(MapConnection& db, const std::vector<CreditedAddress>& ending,
                           const std::vector<LogonEntry>& removed, std::int64_t now, std::vector<CreditChange>* out,
                           std::string* error) {
  std::vector<CreditChange> changes;
  for (const CreditedAddress& c : ending) {
    const LogonEntry* purged = removed_holder(removed, c);
    if (purged == nullptr) continue;
    auto at = std::find_if(changes.begin(), changes.end(), [&c](const CreditChange& x) { return x.address == c.address; });
    if (at == changes.end()) at = changes.insert(changes.end(), CreditChange{c.address, {}, {}, 0});
    at->before.push_back(c.holder);
    at->at = std::max(at->at, purged->expires);
  }
  for (CreditChange& c : changes) {
    if (!db.credited_at(c.address, now, &c.after, error)) return false;
    std::sort(c.after.begin(), c.after.end());
    c.before.insert(c.before.end(), c.after.begin(), c.after.end());
    std::sort(c.before.begin(), c.before.end());
    out->push_back(std::move(c));
  }
  return true;
}

}  // namespace

bool purge_expired(MapConnection& db, std::int64_t now, std::int64_t history_days, Purged* out, std::string* error) {
  std::vector<CreditedAddress> ending;
  return db.expiring_credit(now, &ending, error) && db.purge(now, &out->removed, error) &&
         record_expired(db, out->removed, error) &&
         purged_credit_changes(db, ending, out->removed, now, &out->credit, error) &&
         db.record_events(credit_events(out->credit), error) && db.prune_events(now - history_days * 86400, error);
}

void report_purge_failure(const Failure& failure) {
  report_limited("error: the user map's purge failed",
                 "the user map's expired entries could not be removed (tried again later): " + failure.message());
}
