// How the writer applies the changes of one commit: in runs whose lookups are read together.
#pragma once

#include <string>
#include <vector>

#include "usermap/map_changes.h"
#include "usermap/map_limits.h"
#include "usermap/map_store.h"

// Applies `changes` in order, each answered in the outcome of the same index; `applied` receives
// those that were applied, to be finished once the transaction is committed. False, with the
// store's error, at the first change that fails.
bool apply_batch(MapConnection& db, const MapLimits& limits, MoveBudget& moves,
                 const std::vector<const MapChange*>& changes, std::vector<ChangeOutcome>* outcomes,
                 std::vector<AppliedChange>* applied, std::string* error);
