// Where the user is, in SQL that every store runs: which entry is credited at an address (see MapConnection).
#pragma once

#include <string>

// Each takes the statement's parameters as its store writes them (?1 in SQLite, $1::bigint in
// PostgreSQL); the relay flag is read as a truth value, which SQLite's 0 and 1 are.

// True when a live entry proves `address`: it came from there, or came through a trusted relay
// and is found there. Neither subquery refers to the entry being read, so each runs once per
// statement; the first reads the index by peer alone.
std::string proven_sql(const std::string& address, const std::string& now);
// True when entry l, found at `address` (its row a), is credited there: it proves the address
// itself, or no live entry does.
std::string credited_sql(const std::string& address, const std::string& now);
// True when entry l is found at address c.address by a mere claim (neither its peer nor
// relayed) that a live entry proves: that address is not credited to l.
std::string not_credited_sql(const std::string& now);
// The addresses entry `id` is found at without credit (MapConnection::uncredited_claims).
std::string uncredited_claims_sql(const std::string& id, const std::string& now);
// The user, domain and host of the entries that merely claim `address` (MapConnection::claims_at).
std::string claims_at_sql(const std::string& address, const std::string& id, const std::string& now);
