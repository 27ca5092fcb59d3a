// One change the writer applies in its transaction: a login that adds or refreshes an entry, or a logout.
#pragma once

#include <string>
#include <vector>

#include "usermap/map_limits.h"
#include "usermap/map_store.h"
#include "usermap/move_budget.h"

// A change applied in the transaction under way. Who is credited after it may be known only once
// the transaction is committed, and the rest of its outcome waits for that (finish_change()).
struct AppliedChange {
  ChangeOutcome* outcome = nullptr;
  std::vector<AddressCredit> rows;  // a login's addresses and their credit
};

// Applies `change`, read by `lookup`, and records its events with it (its moves as `moves` allows);
// `rows` receives a login's addresses and their credit. False, with the store's error, when the change failed; a login the
// limits refuse is not a failure (its outcome says so).
bool apply_change(MapConnection& db, const MapLimits& limits, MoveBudget& moves, const MapChange& change,
                  const EntryLookup& lookup, ChangeOutcome* outcome, std::vector<AddressCredit>* rows,
                  std::string* error);

// Once the transaction is committed: the login's addresses without credit, then only the addresses
// where who is credited has changed.
void finish_change(const AppliedChange& applied);
