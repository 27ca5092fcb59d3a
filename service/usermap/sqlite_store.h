// The user map's SQLite store: one file, written with a synchronous write per commit, read by several connections at once.
#pragma once

#include <memory>
#include <string>

#include "usermap/map_store.h"

// Opens or creates the map file at `path` and brings a map of an earlier format up to date, in
// one transaction, before it returns; `notice` then says what was done.
// A listing (a page of the map or of its history, and its count) that reads longer than
// `listing_milliseconds` is stopped, and fails saying so.
std::unique_ptr<MapStore> open_sqlite_store(const std::string& path, std::int64_t listing_milliseconds, std::string* notice,
                                            std::string* error);
