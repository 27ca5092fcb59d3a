// The user map's PostgreSQL store: one database that several services share, each commit synchronous.
#pragma once

#include <memory>
#include <string>

#include "usermap/map_store.h"
#include "usermap/pg_uri.h"

// Connects to the database `uri` names (a libpq connection URI), creates the map's tables when
// they are missing (safely when several services start at once), and checks the database's
// settings; `notice` receives a warning about a setting that weakens durability. Fails, with one
// line in *error, when the database cannot be reached or used.
std::unique_ptr<MapStore> open_postgres_store(const std::string& uri, std::string* notice, std::string* error);
