// Copying a whole map, its entries with their credit, its history and its samples, from one store to another.
#pragma once

#include <string>

// Copies the map at `from` to the map at `to` (each an SQLite file or a PostgreSQL URI, as the
// service's --db takes it) in one transaction of the target, which must hold no entries and no
// history. `said` receives the line that tells what was copied.
bool copy_map(const std::string& from, const std::string& to, std::string* said, std::string* error);
