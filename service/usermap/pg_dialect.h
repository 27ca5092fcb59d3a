// PostgreSQL's way of writing the map's SQL, and the reads that take many names or addresses at once.
#pragma once

#include <string>

#include "usermap/sql/map_sql.h"

const SqlDialect& pg_dialect();

// The sequence that gives the entries their keys, quoted, looked up by its table's name.
extern const char* const kKeySequence;
// $1 new keys from `sequence`.
std::string next_ids_sql(const std::string& sequence);
// The stored entries of the names given ($1 to $3, as arrays), each row with its place among
// them, then the columns stored_entry_at() reads.
const std::string& find_entries_sql();
// Who is credited at each address given ($1) at the time given with it ($2): each row its
// address's place among them, then the holder's user, domain and host.
const std::string& credited_at_many_sql();
// Locks the accounts given ($1, $2), to the end of the transaction.
extern const char* const kLockAccounts;
extern const char* const kLockAddresses;
