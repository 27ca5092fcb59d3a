// Where the user is, in SQL that every store runs.
#include "usermap/sql/address_rule.h"

#include "usermap/sql/map_sql.h"

std::string proven_sql(const SqlDialect& d, const std::string& address, const std::string& now) {
  return "(EXISTS (SELECT 1 FROM logons p WHERE p.peer = " + address + " AND p.expires > " + now +
         ") OR EXISTS (SELECT 1 FROM logon_addresses pa" + d.entry_of("pa", "pr") + " WHERE pa.address = " + address +
         " AND pr.relayed AND pr.expires > " + now + "))";
}

std::string withdraw_claims_sql(const std::string& address, const std::string& id) {
  // Asked of each row credited there, of its entry found by the key: an IN list of the entries that
  // claim would be the whole map. A value, not EXISTS, which a planner may turn into a join that
  // starts from the entries.
  return "UPDATE logon_addresses SET credited = false WHERE credited = true AND address = " + address + " AND logon <> " +
         id + " AND (SELECT c.peer <> " + address +
         " AND NOT c.relayed FROM logons c WHERE c.id = logon_addresses.logon)";
}

std::string credited_at_sql(const SqlDialect& d, const std::string& address, const std::string& now) {
  return "SELECT l.\"user\", l.domain, l.host FROM logon_addresses a" + d.entry_of("a", "l") + " WHERE a.address = " +
         address + " AND a.credited = true AND l.expires > " + now;
}

std::string expiring_credit_sql(const std::string& now) {
  return "SELECT a.address, l.\"user\", l.domain, l.host FROM logons l JOIN logon_addresses a ON a.logon = l.id"
         " WHERE l.expires <= " + now + " AND a.credited";
}

std::string credited_addresses_sql(const std::string& id) {
  return "SELECT address FROM logon_addresses WHERE logon = " + id + " AND credited";
}

std::string credit_proven_rows_sql() {
  return "UPDATE logon_addresses SET credited = true WHERE NOT credited AND EXISTS (SELECT 1 FROM logons l WHERE"
         " l.id = logon_addresses.logon AND (l.peer = logon_addresses.address OR l.relayed));";
}
