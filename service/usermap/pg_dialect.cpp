// PostgreSQL's way of writing the map's SQL, and the reads that take many names or addresses at once.
#include "usermap/pg_dialect.h"

#include "usermap/sql/address_rule.h"

namespace {

// PostgreSQL's way of writing the map's SQL. Names are compared with the ASCII letters folded, as
// SQLite's NOCASE does: lower() under the "C" collation folds nothing else. The unique index on the
// folded names serves the lookups by name, the listing's order and each account's count.
class PgDialect : public SqlDialect {
 public:
  std::string param(std::size_t n, SqlType type) const override {
    static const char* const kCasts[] = {"::text", "::bigint", "::boolean", "::text[]", "::bigint[]", "::boolean[]"};
    return "$" + std::to_string(n) + kCasts[static_cast<int>(type)];
  }
  std::string name(const std::string& expr) const override { return "lower(" + expr + " COLLATE \"C\")"; }
  std::string folded(const std::string& expr) const override { return name(expr); }
  std::string comma_list(const std::string& expr) const override { return "string_agg(" + expr + ", ',')"; }
  std::string bytewise(const std::string& expr) const override { return expr + " COLLATE \"C\""; }
  std::string id_column() const override { return "bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY"; }
  std::string name_column() const override { return "text NOT NULL"; }
  std::string truth_column() const override { return "boolean"; }
  std::string number_column() const override { return "bigint"; }
  const char* keyed_table_end() const override { return ""; }
  std::string unique_names_in_table() const override { return ""; }
  std::string unique_names_index() const override {
    return "CREATE UNIQUE INDEX IF NOT EXISTS logons_by_name ON logons (" + name("\"user\"") + ", " + name("domain") +
           ", " + name("host") + ");";
  }
  // The entry is locked too, so that another service's purge passes it by instead of deleting it under a refresh.
  std::string lock_row() const override { return " FOR UPDATE"; }
  // Entries another writer holds are left to a later purge: the purge never waits for a lock. At
  // most 1,000 go at once (the next purge, a second later, takes the next ones), so that a mass of
  // expired entries (after a long outage) neither holds up the logins committed with it nor runs
  // into the statement time-out, which would undo it every time.
  std::string purge_limit() const override { return " LIMIT 1000 FOR UPDATE SKIP LOCKED"; }
  // A subquery of its own (OFFSET 0 keeps the planner from merging it), which can only come after
  // the address rows it refers to and has nothing to go by but the key. Joined plainly, the plan
  // is the planner's choice, and statistics taken while the map was small or full of dead rows
  // (the entries a few hosts log on again and again) can make it find the entry among all the
  // live ones, through the index on their expiry, at each address row: a lookup that reads the
  // whole map, and goes on doing so in the writer's plans, which serve a connection's life.
  std::string entry_of(const std::string& row, const std::string& alias) const override {
    return " CROSS JOIN LATERAL (SELECT * FROM logons WHERE id = " + row + ".logon OFFSET 0) AS " + alias;
  }
  std::string transaction_column() const override { return "xid8 NOT NULL DEFAULT pg_current_xact_id()"; }
  std::string transaction_index() const override {
    return "CREATE INDEX IF NOT EXISTS logon_events_by_transaction ON logon_events (tx);";
  }
};

}  // namespace

const SqlDialect& pg_dialect() {
  static const PgDialect kDialect;
  return kDialect;
}

// Keys for new entries, taken with the writer's lookups, so that they can be inserted without
// waiting for the keys they are given: from the sequence of kKeySequence, which is looked up once
// per connection (a search of the catalog that costs more than the keys), by its name, so that the
// statement follows a table made anew.
const char* const kKeySequence = "SELECT quote_literal(pg_get_serial_sequence('logons', 'id'))";
std::string next_ids_sql(const std::string& sequence) {
  return "SELECT nextval(" + sequence + "::regclass) FROM generate_series(1, $1::bigint)";
}
// Each statement that reads by names or addresses given in arrays reads them one at a time, in a
// subquery of its own that the planner keeps apart (FOR UPDATE, OFFSET 0): each is then a probe of
// an index, whatever the statistics say of the map, which lag behind a map that grows fast. A plan
// that joins the array to the whole table would read it all at every commit.
// The stored entries are locked, as find_entry locks one.
const std::string& find_entries_sql() {
  const SqlDialect& d = pg_dialect();
  static const std::string kSql =
      "SELECT n.ord, f.* FROM unnest($1::text[], $2::text[], $3::text[]) WITH ORDINALITY AS n (u, d, h, ord)"
      " CROSS JOIN LATERAL (SELECT " + stored_entry_columns("l.") + ", (SELECT"
      " string_agg(address, ',') FROM logon_addresses a WHERE a.logon = l.id AND a.credited) FROM logons l WHERE " +
      d.name("l.\"user\"") + " = " + d.name("n.u") + " AND " + d.name("l.domain") + " = " + d.name("n.d") + " AND " +
      d.name("l.host") + " = " + d.name("n.h") + " FOR UPDATE) AS f";
  return kSql;
}

const std::string& credited_at_many_sql() {
  static const std::string kSql =
      "SELECT n.ord, c.* FROM unnest($1::text[], $2::bigint[]) WITH ORDINALITY AS n (address, now, ord)"
      " CROSS JOIN LATERAL (" + credited_at_sql(pg_dialect(), "n.address", "n.now") + " OFFSET 0) AS c";
  return kSql;
}

// The locks of the accounts a transaction changes, all taken at its start, in the order of their
// keys: two services then never hold one lock each and wait for the other's, and each account's
// entries are changed by one transaction at a time. Held to the end of the transaction.
const char* const kLockAccounts =
    "SELECT pg_advisory_xact_lock(k) FROM (SELECT DISTINCT hashtextextended("
    "lower(u COLLATE \"C\") || '/' || lower(d COLLATE \"C\"), 5071996431) AS k"
    " FROM unnest($1::text[], $2::text[]) AS a (u, d) ORDER BY k) AS keys";
