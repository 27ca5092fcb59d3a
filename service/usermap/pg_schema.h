// The PostgreSQL store's schema: the map's tables made or brought up to date, one service at a time.
#pragma once

#include <string>

#include "usermap/pg_client.h"

// Creates the tables when they are missing, or brings an older map up to date, one service at a
// time, and checks what the map relies on; `notice` receives a warning about a setting that
// weakens durability.
bool prepare_pg_schema(PgClient& db, std::string* notice, std::string* error);
