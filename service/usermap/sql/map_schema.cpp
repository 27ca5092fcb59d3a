// The user map's schema, written once for every store: its tables, and the steps that bring an older map up to date.
#include "usermap/sql/map_schema.h"

#include <cstdio>
#include <random>

#include "usermap/sql/address_rule.h"
#include "usermap/sql/entry_row.h"

namespace {

// Whether an entry is credited at the address of its row (see address_rule.h).
std::string credited_definition(const SqlDialect& d) {
  return "credited " + d.truth_column() + " NOT NULL DEFAULT false";
}

// An entry's names, as names are compared, in the order of the indexes that take them.
std::string entry_names(const SqlDialect& d) {
  return d.name("host") + ", " + d.name("\"user\"") + ", " + d.name("domain");
}

// What happened to the entries, one row per event and address (see usermap/history.h), with the
// transaction that wrote each (see SqlDialect::transaction_column).
std::string history_table(const SqlDialect& d) {
  return "CREATE TABLE IF NOT EXISTS logon_events ("
         " id " + d.id_column() + ","
         " at " + d.number_column() + " NOT NULL,"
         " kind TEXT NOT NULL,"
         " \"user\" " + d.name_column() + ","
         " domain " + d.name_column() + ","
         " host " + d.name_column() + ","
         " address TEXT NOT NULL,"
         " tx " + d.transaction_column() + ");";
}

// A page of events is read through the index by address or the one on the time. Who was at an
// address at a moment takes each entry there in turn and its last event of each kind there, through
// the index by address and entry; whether it moved on or ended since, through the index by entry and
// kind: a few seeks per entry, however many events it has.
std::string history_indexes(const SqlDialect& d) {
  return "CREATE INDEX IF NOT EXISTS logon_events_by_address ON logon_events (address, at);"
         "CREATE INDEX IF NOT EXISTS logon_events_by_time ON logon_events (at);"
         "DROP INDEX IF EXISTS logon_events_by_entry;"
         "CREATE INDEX IF NOT EXISTS logon_events_by_entry_kind ON logon_events (" + entry_names(d) + ", kind, at);"
         "CREATE INDEX IF NOT EXISTS logon_events_by_address_entry ON logon_events (address, " + entry_names(d) +
         ", kind, at, id);" + d.transaction_index();
}

// The map's own name, given once when it is made, so that a consumer of its change feed can tell
// it from another map (whose positions would mean something else).
std::string map_identity() {
  std::random_device random;
  char name[33];
  std::snprintf(name, sizeof name, "%08x%08x%08x%08x", random(), random(), random(), random());
  return std::string("CREATE TABLE IF NOT EXISTS map_identity (one integer PRIMARY KEY, name TEXT NOT NULL);"
                     "INSERT INTO map_identity (one, name) VALUES (1, '") + name + "') ON CONFLICT DO NOTHING;";
}

// A step that adds a column of the entry's row.
SchemaStep entry_column_step(const SqlDialect& d, int format, const char* column) {
  return SchemaStep{format, "logons", column, column_definition(d, *entry_column(column)), ""};
}

}  // namespace

std::string map_tables(const SqlDialect& d) {
  return "CREATE TABLE IF NOT EXISTS logons ("
         " id " + d.id_column() + ","
         " " + entry_column_definitions(d) + d.unique_names_in_table() + ");" +
         d.unique_names_index() +
         // The addresses each entry reported (or its peer), one row per entry and address; it is
         // found where it is credited (see address_rule.h).
         "CREATE TABLE IF NOT EXISTS logon_addresses ("
         " address TEXT NOT NULL,"
         " logon " + d.number_column() + " NOT NULL REFERENCES logons (id) ON DELETE CASCADE,"
         " " + credited_definition(d) + ","
         " PRIMARY KEY (address, logon))" + d.keyed_table_end() + ";" + history_table(d);
}

std::string map_indexes(const SqlDialect& d) {
  return
      // The purge finds expired entries through this index instead of reading the whole map.
      "CREATE INDEX IF NOT EXISTS logons_by_expiry ON logons (expires);"
      "CREATE INDEX IF NOT EXISTS logon_addresses_by_logon ON logon_addresses (logon);"
      // Who is credited at an address, without the claims there: a lookup, and the writer's
      // reads of credit before and after a change, read only these rows (credited = true, which
      // SQLite matches to the index where a bare truth value is not), however many entries claim
      // the address (all the PCs behind one NAT).
      "CREATE INDEX IF NOT EXISTS logon_addresses_credited ON logon_addresses (credited, address);"
      // Whether a live entry came from an address, read from the index alone.
      "CREATE INDEX IF NOT EXISTS logons_by_peer ON logons (peer, expires);"
      // Listings go by host, so that the entries of one host follow each other; the stale entries
      // are counted and listed through the time they were last seen.
      "CREATE INDEX IF NOT EXISTS logons_by_host ON logons (" + d.name("host") + ", " + d.name("\"user\"") + ", " +
      d.name("domain") + ");"
      "CREATE INDEX IF NOT EXISTS logons_by_last_seen ON logons (last_seen, expires);"
      // How many entries were current, one row per sampling period, for the picture of the last day.
      "CREATE TABLE IF NOT EXISTS logon_samples (sampled " + d.number_column() + " PRIMARY KEY, logged_on " +
      d.number_column() + " NOT NULL);"
      // The health check's write.
      "CREATE TABLE IF NOT EXISTS map_checks (id integer PRIMARY KEY, checked " + d.number_column() + " NOT NULL);" +
      history_indexes(d) + map_identity();
}


std::vector<SchemaStep> schema_steps(const SqlDialect& d) {
  return {
      entry_column_step(d, 2, "relayed"),
      // What an entry proves is credited at once; the claims of the entries there before are not.
      SchemaStep{3, "logon_addresses", "credited", credited_definition(d), credit_proven_rows_sql()},
      entry_column_step(d, 4, "groups"),
      // The change feed reads the events of PostgreSQL's services by the transaction that wrote them.
      SchemaStep{5, "logon_events", "tx", "tx " + d.transaction_column(), ""},
  };
}

int map_format(const SqlDialect& d) { return schema_steps(d).back().format; }
