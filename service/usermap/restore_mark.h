// A map restored from a backup, recognised at start by a mark the service keeps in a file of its own.
#pragma once

#include <cstdint>
#include <string>

#include "usermap/map_store.h"

// Where the mark is kept and how long agents take to refresh their logins.
struct RestoreMark {
  std::string path;           // a file of the service's, which restoring the map leaves alone; empty: no mark
  std::string map_name;       // the map the mark is of: a mark of another map is not compared
  std::int64_t interval = 0;  // the agents' refresh interval
};

// A map whose last change is older than the mark, the last change the service saw when it last
// stopped, was restored from a backup: the logouts since that backup are lost, so its entries
// expire at their next missed refresh instead of at the end of their lifetime. `notice` then gets a
// line that says so.
bool check_restored_map(MapStore& store, const RestoreMark& mark, std::int64_t now, std::string* notice,
                        std::string* error);

// Writes the map's last change as the mark, as the service stops; a failure is reported, not fatal.
void keep_restore_mark(MapStore& store, const RestoreMark& mark);
