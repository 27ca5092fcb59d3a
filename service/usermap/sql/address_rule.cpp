// Where the user is, in SQL that every store runs.
#include "usermap/sql/address_rule.h"

std::string proven_sql(const std::string& address, const std::string& now) {
  return "(EXISTS (SELECT 1 FROM logons p WHERE p.peer = " + address + " AND p.expires > " + now +
         ") OR EXISTS (SELECT 1 FROM logon_addresses pa JOIN logons pr ON pr.id = pa.logon WHERE pa.address = " +
         address + " AND pr.relayed AND pr.expires > " + now + "))";
}

std::string credited_sql(const std::string& address, const std::string& now) {
  return "(l.peer = " + address + " OR l.relayed OR NOT " + proven_sql(address, now) + ")";
}

std::string not_credited_sql(const std::string& now) {
  return "NOT l.relayed AND c.address <> l.peer AND " + proven_sql("c.address", now);
}

std::string uncredited_claims_sql(const std::string& id, const std::string& now) {
  return "SELECT c.address FROM logons l JOIN logon_addresses c ON c.logon = l.id WHERE l.id = " + id + " AND " +
         not_credited_sql(now);
}

std::string claims_at_sql(const std::string& address, const std::string& id, const std::string& now) {
  return "SELECT l.\"user\", l.domain, l.host FROM logon_addresses a JOIN logons l ON l.id = a.logon WHERE a.address = " +
         address + " AND l.id <> " + id + " AND NOT l.relayed AND l.peer <> " + address + " AND l.expires > " + now +
         " ORDER BY l.last_seen DESC LIMIT 5";
}
