// One change the writer applies in its transaction: a login that adds or refreshes an entry, or a logout.
#include "usermap/map_changes.h"

#include <algorithm>
#include <utility>

#include "usermap/address_lists.h"
#include "usermap/address_rule.h"

namespace {

// Who is credited at each of `addresses` at `now`, before a change: read, or `known` already.
bool read_credit(MapConnection& db, const std::vector<std::string>& addresses, std::int64_t now,
                 std::vector<CreditChange>* out, std::string* error, const std::vector<CreditChange>& known = {}) {
  for (const std::string& address : addresses) {
    CreditChange c{address, {}, {}, now};
    const auto read =
        std::find_if(known.begin(), known.end(), [&address](const CreditChange& k) { return k.address == address; });
    if (read != known.end()) c.before = read->before;
    else if (!db.credited_at(address, now, &c.before, error)) return false;
    std::sort(c.before.begin(), c.before.end());
    out->push_back(std::move(c));
  }
  return true;
}

// Only the addresses where who is credited has changed.
void keep_changes(std::vector<CreditChange>* changes) {
  changes->erase(std::remove_if(changes->begin(), changes->end(),
                                [](const CreditChange& c) { return c.before == c.after; }),
                 changes->end());
}

// The login's addresses without credit, and those of them another live entry is credited at.
void note_uncredited(const std::vector<AddressCredit>& rows, ChangeOutcome* outcome) {
  for (const AddressCredit& row : rows) {
    if (row.credited) continue;
    outcome->uncredited.push_back(row.address);
    for (const CreditChange& c : outcome->credit) {
      if (c.address == row.address && !c.after.empty()) outcome->disputed.push_back(row.address);
    }
  }
}

// False when the count failed (`error`); `refused` says why when the login may not add an entry.
bool within_limit(MapConnection& db, std::size_t limit, const LogonEntry& e, std::string* refused,
                  std::string* error) {
  std::size_t others = 0;
  if (limit == 0) return true;
  if (!db.count_other_hosts(e, e.last_seen, limit, &others, error)) return false;
  if (others >= limit)
    *refused = "already has " + std::to_string(others) + " live entries at other hosts, the most one account may hold";
  return true;
}

bool logout(MapConnection& db, const LogonEntry& e, const StoredEntry& stored, ChangeOutcome* outcome,
            std::string* error) {
  const std::vector<std::string> before = stored_addresses(stored);
  if (!read_credit(db, before, e.last_seen, &outcome->credit, error) || !db.remove(e, &outcome->removed, error))
    return false;
  const std::vector<LogonEvent> events =
      outcome->removed ? entry_events(kEventLogout, stored.names, before, e.last_seen) : std::vector<LogonEvent>();
  return db.record_change(events, &outcome->credit, error);
}

// A new entry logs in at its addresses; one found elsewhere than before moves to its new set.
std::vector<LogonEvent> arrival(const LogonEntry& e, const StoredEntry& stored,
                                const std::vector<std::string>& addresses) {
  const EntryNames names = stored.found ? stored.names : EntryNames{e.user, e.domain, e.host};
  return entry_events(stored.found ? kEventMoved : kEventLogin, names, addresses, e.last_seen);
}

// The SIDs alone, in order: a name the directory gives or withholds is no change of membership.
std::vector<std::string> group_sids(const std::vector<EntryGroup>& groups) {
  std::vector<std::string> out;
  for (const EntryGroup& g : groups) out.push_back(g.sid);
  std::sort(out.begin(), out.end());
  return out;
}

// What a login records in the history: its arrival (or move), and a refresh that proves other groups.
std::vector<LogonEvent> login_events(const LogonEntry& e, const StoredEntry& stored,
                                     const std::vector<std::string>& addresses, bool arrived) {
  std::vector<LogonEvent> out = arrived ? arrival(e, stored, addresses) : std::vector<LogonEvent>();
  if (!stored.found || group_sids(stored.groups) == group_sids(e.groups)) return out;
  for (LogonEvent& event : entry_events(kEventGroups, stored.names, {}, e.last_seen)) out.push_back(std::move(event));
  return out;
}

// Every address the entry had, has, or proves: who is credited there is read before and after.
std::vector<std::string> watched_addresses(const LogonEntry& e, std::vector<std::string> watched,
                                           const std::vector<std::string>& addresses) {
  for (const std::string& address : addresses) add_once(&watched, address);
  add_once(&watched, e.peer);
  return watched;
}

// Whether the login's events are recorded: a new entry's always, a move's as the budget allows.
bool recorded_arrival(MoveBudget& moves, const LogonEntry& e, const StoredEntry& stored,
                      const std::vector<std::string>& had, const std::vector<std::string>& addresses) {
  if (stored.found) return moves.record_move(folded_names(e), had, addresses, e.last_seen);
  moves.arrived(folded_names(e), addresses, e.last_seen);
  return true;
}

bool login(MapConnection& db, const MapLimits& limits, MoveBudget& moves, const LogonEntry& e,
           const StoredEntry& stored, const std::vector<CreditChange>& known, ChangeOutcome* outcome,
           std::vector<AddressCredit>* rows, std::string* error) {
  // A refresh of an entry is always allowed: it adds nothing.
  if (!stored.found) {
    std::string refused;
    if (!within_limit(db, limits.max_entries_per_account, e, &refused, error)) return false;
    if (!refused.empty()) {
      outcome->failure = Failure::refused(refused);
      return true;
    }
  }
  std::int64_t id = stored.id;
  const std::vector<std::string> addresses = lookup_addresses(e.ips, e.peer);
  std::vector<std::string> had = stored_addresses(stored);
  const bool arrived = recorded_arrival(moves, e, stored, had, addresses);
  const std::vector<std::string> watched = watched_addresses(e, std::move(had), addresses);
  const bool ok = read_credit(db, watched, e.last_seen, &outcome->credit, error, known) &&
                  (stored.found ? db.update_entry(id, e, error) : db.insert_entry(e, &id, error)) &&
                  decide_credit(db, limits.credit_claims, e, stored, addresses, rows, error) &&
                  (*rows == stored_rows(stored) || db.set_addresses(id, *rows, error)) &&
                  withdraw_outranked(db, id, e, addresses, error);
  return ok && db.record_change(login_events(e, stored, addresses, arrived), &outcome->credit, error);
}

}  // namespace

bool apply_change(MapConnection& db, const MapLimits& limits, MoveBudget& moves, const MapChange& change,
                  const EntryLookup& lookup, ChangeOutcome* outcome, std::vector<AddressCredit>* rows,
                  std::string* error) {
  const LogonEntry& e = change.entry;
  if (change.kind == MapChange::Kind::Logout) {
    moves.left(folded_names(e));
    return logout(db, e, lookup.stored, outcome, error);
  }
  std::vector<CreditChange> known;
  for (std::size_t i = 0; i < lookup.addresses.size(); ++i)
    known.push_back(CreditChange{lookup.addresses[i], lookup.credited[i], {}, e.last_seen});
  return login(db, limits, moves, e, lookup.stored, known, outcome, rows, error);
}

void finish_change(const AppliedChange& applied) {
  ChangeOutcome* outcome = applied.outcome;
  for (CreditChange& c : outcome->credit) std::sort(c.after.begin(), c.after.end());
  note_uncredited(applied.rows, outcome);
  keep_changes(&outcome->credit);
}
