// Where the user is: which addresses a login proves, and which of its addresses it is credited at.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/networks.h"
#include "usermap/map_store.h"

// An entry proves the address its request came from, and every address it reports through a
// trusted relay: the one test of proof, which the writer decides credit by and the status views
// mark entries by. The stores ask it of every live entry at once in SQL (sql/address_rule.h:
// proven_sql(), withdraw_claims_sql(), credit_proven_rows_sql()); those statements must stay the
// set-based form of this test.
bool proves(const LogonEntry& entry, const std::string& address);

// The credit of each of `addresses`, decided as entry `e` is written over `stored`. What the entry
// proves is credited. A mere claim is credited only inside `credit_claims`, and only when no other
// live entry proves the address as the claim arrives: a claim that was refused stays refused while
// the entry keeps reporting it, whoever proves the address later or has stopped proving it.
bool decide_credit(MapConnection& db, const NetworkList& credit_claims, const LogonEntry& e, const StoredEntry& stored,
                   const std::vector<std::string>& addresses, std::vector<AddressCredit>* rows, std::string* error);

// What entry `id` proves as it is written over `addresses`, no other entry is credited with by a mere
// claim any longer.
bool withdraw_outranked(MapConnection& db, std::int64_t id, const LogonEntry& e,
                        const std::vector<std::string>& addresses, std::string* error);

// The credit a stored entry holds, address by address (none when it is not found).
std::vector<AddressCredit> stored_rows(const StoredEntry& stored);
