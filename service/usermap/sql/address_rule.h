// Where the user is, in SQL that every store runs: which entries prove an address, and who is credited there.
#pragma once

#include <string>

class SqlDialect;

// Each takes the statement's parameters as its store writes them (?1 in SQLite, $1::bigint in
// PostgreSQL); the relay and credit flags are read as truth values, which SQLite's 0 and 1 are.
//
// Credit is decided by the writer when an entry is written, and kept with each of its addresses
// (logon_addresses.credited): the reads only read it. The statements below are the set-based form
// of the writer's one test of proof, proves() in usermap/address_rule.h (an entry proves its peer,
// and all it reports when it came through a trusted relay), asked of many entries at once: the two
// change together.

// True when a live entry proves `address`: it came from there, or came through a trusted relay
// and is found there. Neither subquery refers to the entry being written, so each runs once per
// statement; the first reads the index by peer alone.
std::string proven_sql(const SqlDialect& d, const std::string& address, const std::string& now);
// Takes the credit at `address` from the entries other than `id` that merely claim it (neither
// came from there nor through a trusted relay): a login that proves the address outranks them.
std::string withdraw_claims_sql(const std::string& address, const std::string& id);
// The user, domain and host of the live entries credited at `address`.
std::string credited_at_sql(const SqlDialect& d, const std::string& address, const std::string& now);
// The addresses the entries expired at `now` are credited at, with the user, domain and host of each.
std::string expiring_credit_sql(const std::string& now);
// The addresses entry `id` is credited at.
std::string credited_addresses_sql(const std::string& id);
// Gives the rows of a map written before credit was kept the credit of what they prove; mere
// claims start without it.
std::string credit_proven_rows_sql();
