// How --db names a PostgreSQL database, and how a log line shows it without its password.
#pragma once

#include <string>

// Whether --db names a PostgreSQL database (a postgresql:// or postgres:// URI) rather than an SQLite file.
bool is_postgres_uri(const std::string& db);

// --db as a log line may show it: a URI without its password; a file name as it is.
std::string map_display_name(const std::string& db);
