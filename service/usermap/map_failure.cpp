// How the user map's uses of its store fail, as the callers of the map are told.
#include "usermap/map_failure.h"

namespace {
// What the map's failures name: the stores' errors say only why.
const char* const kSubject = "user map";
}  // namespace

Failure link_failure(StoreLink& link, const MapConnection* db, const std::string& error) {
  if (db == nullptr) return Failure::unavailable(error);
  return link.transient_after_failure() ? Failure::unavailable(error, kSubject) : Failure::internal(error, kSubject);
}

Failure call_failure(const MapConnection& db, const std::string& error) {
  return db.last_failure().transient() ? Failure::unavailable(error, kSubject) : Failure::internal(error, kSubject);
}

Failure transaction_failure(StoreLink& link, MapConnection* db, const std::string& error) {
  if (db != nullptr) db->rollback();
  return link_failure(link, db, error);
}

Failure map_closed() { return Failure::internal("closed", kSubject); }
