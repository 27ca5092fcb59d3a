// The user map's SQL, written once for every store: its statements, its listings and how a row
// becomes an entry (the tables are in map_schema.h, an entry's columns in entry_row.h). A store
// supplies its dialect (how it writes a parameter, compares names, joins a list) and runs the
// statements on its own connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usermap/map_store.h"
#include "usermap/map_types.h"

// What a parameter holds: the stores bind each kind as their own type (SQLite an integer for a truth
// value, PostgreSQL a boolean).
enum class SqlType { Text, Number, Truth, TextArray, NumberArray, TruthArray };

// How one store writes what the stores' SQL differs in.
class SqlDialect {
 public:
  virtual ~SqlDialect() = default;
  // Parameter n (from 1) of a statement, of the given type.
  virtual std::string param(std::size_t n, SqlType type) const = 0;
  // A name (user, domain, host) as names are compared and ordered: the ASCII letters folded, as
  // SQLite's NOCASE does.
  virtual std::string name(const std::string& expr) const = 0;
  // A name folded to lower case, to count distinct names.
  virtual std::string folded(const std::string& expr) const = 0;
  // The comma-separated list of an expression's values in a group.
  virtual std::string comma_list(const std::string& expr) const = 0;
  // A text compared byte by byte, whatever the database's collation.
  virtual std::string bytewise(const std::string& expr) const = 0;
  // The column types and table parts the schema differs in.
  virtual std::string id_column() const = 0;         // the entries' key, given by the store
  virtual std::string name_column() const = 0;       // a text compared as name() compares it
  virtual std::string truth_column() const = 0;      // a truth value
  virtual std::string number_column() const = 0;     // a 64-bit number
  virtual const char* keyed_table_end() const = 0;   // after a table whose primary key is all it holds
  // Each entry's names are unique: a constraint at the end of the table (comma first), or an index after it.
  virtual std::string unique_names_in_table() const = 0;
  virtual std::string unique_names_index() const = 0;
  // After the select that finds an entry the writer is about to change: its row lock, if any.
  virtual std::string lock_row() const = 0;
  // What limits the expired entries one purge deletes (and passes those another writer holds).
  virtual std::string purge_limit() const = 0;
  // Joins, as `alias`, the entry that the address row `row` belongs to, found by its key and no
  // other way.
  virtual std::string entry_of(const std::string& row, const std::string& alias) const = 0;
  // The transaction that wrote an event, for a store whose writers commit in another order than
  // they number events (the change feed reads by it), with its index; a store with one writer
  // keeps a constant and no index.
  virtual std::string transaction_column() const = 0;
  virtual std::string transaction_index() const = 0;
};

// A parameter's value.
struct SqlValue {
  SqlType type = SqlType::Text;
  std::string text;
  std::int64_t number = 0;
};

// A statement and its parameters, $1 / ?1 first.
struct SqlStatement {
  std::string text;
  std::vector<SqlValue> params;
};

// The statements with fixed parameters. Each comment names the parameters in order.
struct MapStatements {
  explicit MapStatements(const SqlDialect& d);

  std::string find_entry;         // user, domain, host: stored_entry_columns()
  std::string count_other_hosts;  // user, domain, host, now, limit: how many (up to limit) live at other hosts
  std::string insert_entry;       // the entry's columns (see entry_row.h): the new id
  std::string update_entry;       // the columns a refresh writes, then the id
  std::string forget_addresses;   // id
  std::string add_address;        // address, id, credited
  std::string remove;             // user, domain, host (the addresses go with their entry)
  std::string purge;              // now: the columns of each entry removed, as purged_entry reads them
  std::string add_event;          // at, kind, user, domain, host, address
  std::string prune_events;       // before: forgets the events older than that, a bounded number at a time
  std::string add_sample;         // sampled, logged_on
  std::string forget_samples;     // keep_since
  std::string note_check;         // now
  std::string proven;              // address, now: whether a live entry proves it
  std::string withdraw_claims;     // address, id
  std::string credited_at;         // address, now: user, domain, host
  std::string credited_addresses;  // id: address
  std::string expiring_credit;     // now: address, user, domain, host
  // The readers', without a transaction.
  std::string count_current;    // now
  std::string count_stale;      // now, stale_before
  std::string count_conflicts;  // now
  std::string address_use;      // address, now: hosts, users
  std::string address_answer;   // address, now: the user, domain and host a lookup lists first
  std::string samples;          // since: sampled, logged_on
};

// A listing (MapConnection::find): the entries' columns as entry_from_row reads them, at most
// limit + 1 rows from offset on; and the number of entries it lists on all pages together.
SqlStatement find_statement(const SqlDialect& d, const MapQuery& q, std::int64_t now);
SqlStatement count_statement(const SqlDialect& d, const MapQuery& q, std::int64_t now);

// One row of a result, as a store reads its columns.
class SqlRow {
 public:
  virtual ~SqlRow() = default;
  virtual std::string text(int column) const = 0;
  virtual std::int64_t number(int column) const = 0;
  virtual bool truth(int column) const = 0;
};

// An entry of a listing, from a row of find_statement().
LogonEntry entry_from_row(const SqlRow& row);
// What the writer reads of an entry before it changes it, each column after `prefix`; and the
// stored entry from a row of them, from column `first` on, without the addresses it is credited at.
std::string stored_entry_columns(const std::string& prefix = "");
StoredEntry stored_entry_from_row(const SqlRow& row, int first);
// An entry the purge removed, from a row it returned.
LogonEntry purged_entry(const SqlRow& row);
