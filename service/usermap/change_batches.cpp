// How the writer applies the changes of one commit: in runs whose lookups are read together.
#include "usermap/change_batches.h"

#include "usermap/address_lists.h"

namespace {

// A change reads who is credited at the addresses a login has and proves with its lookup, before
// it changes anything. The lookups of changes that do not touch each other's entry or addresses
// are read together: the changes from `first` on, up to one with the names of an earlier one or
// one of the addresses of an earlier one.
std::vector<EntryLookup> lookups_from(const std::vector<const MapChange*>& changes, std::size_t first) {
  std::vector<EntryLookup> run;
  std::vector<std::string> names;
  std::vector<std::string> taken;
  for (std::size_t i = first; i < changes.size(); ++i) {
    const MapChange& change = *changes[i];
    EntryLookup l;
    l.entry = &change.entry;
    if (change.kind == MapChange::Kind::Login) {
      l.addresses = lookup_addresses(change.entry.ips, change.entry.peer);
      add_once(&l.addresses, change.entry.peer);
    }
    const std::string folded = folded_names(change.entry);
    if (!run.empty() && (contains(names, folded) || shares(taken, l.addresses))) break;
    names.push_back(folded);
    taken.insert(taken.end(), l.addresses.begin(), l.addresses.end());
    run.push_back(std::move(l));
  }
  return run;
}

// The lookups read together that hold for their changes: up to the first whose entry is found at
// an address that an earlier one has or had. The ones after it are read again.
void cut_run(std::vector<EntryLookup>* run) {
  std::vector<std::string> taken;
  for (std::size_t i = 0; i < run->size(); ++i) {
    const EntryLookup& l = (*run)[i];
    std::vector<std::string> touched = l.addresses;
    for (const std::string& address : stored_addresses(l.stored)) add_once(&touched, address);
    if (i > 0 && shares(taken, touched)) return run->resize(i);
    taken.insert(taken.end(), touched.begin(), touched.end());
  }
}

}  // namespace

bool apply_batch(MapConnection& db, const MapLimits& limits, MoveBudget& moves,
                 const std::vector<const MapChange*>& changes, std::vector<ChangeOutcome>* outcomes,
                 std::vector<AppliedChange>* applied, std::string* error) {
  bool ok = true;
  for (std::size_t next = 0; ok && next < changes.size();) {
    std::vector<EntryLookup> run = lookups_from(changes, next);
    ok = db.find_entries_and_credit(&run, error);
    cut_run(&run);
    db.run_apart(true);
    for (std::size_t i = 0; ok && i < run.size(); ++i, ++next) {
      AppliedChange change{&(*outcomes)[next], {}};
      ok = apply_change(db, limits, moves, *changes[next], run[i], change.outcome, &change.rows, error);
      if (ok) applied->push_back(std::move(change));
    }
    db.run_apart(false);
  }
  return ok;
}
