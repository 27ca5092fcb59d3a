// How the user map's uses of its store fail, as the callers of the map are told.
#pragma once

#include <string>

#include "common/failure.h"
#include "usermap/store_link.h"

// How a use of a link failed; `db` null when no connection could be had (its error names the map).
// A lost connection is dropped.
Failure link_failure(StoreLink& link, const MapConnection* db, const std::string& error);
// A failed call of the connection in hand, in a transaction that goes on.
Failure call_failure(const MapConnection& db, const std::string& error);
// After a failed transaction (db null: no connection could be had): undone, and a lost connection
// dropped. Says how it failed.
Failure transaction_failure(StoreLink& link, MapConnection* db, const std::string& error);
// The answer to what comes after the map is stopped.
Failure map_closed();
