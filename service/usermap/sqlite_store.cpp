// The user map's SQLite store: one file, written with a synchronous write per commit, read by several connections at once.
#include "usermap/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <map>

#include "usermap/sql/entry_row.h"
#include "usermap/sql/feed_sql.h"
#include "usermap/sql/history_sql.h"
#include "usermap/sql/map_schema.h"
#include "usermap/sql/migration_report.h"
#include "usermap/sql/map_sql.h"

namespace {

// SQLite's way of writing the map's SQL. Its name columns compare with NOCASE, which folds the ASCII letters.
class SqliteDialect : public SqlDialect {
 public:
  std::string param(std::size_t n, SqlType) const override { return "?" + std::to_string(n); }
  std::string name(const std::string& expr) const override { return expr; }
  std::string folded(const std::string& expr) const override { return "lower(" + expr + ")"; }
  std::string comma_list(const std::string& expr) const override { return "group_concat(" + expr + ", ',')"; }
  std::string bytewise(const std::string& expr) const override { return expr; }
  std::string id_column() const override { return "INTEGER PRIMARY KEY"; }
  std::string name_column() const override { return "TEXT NOT NULL COLLATE NOCASE"; }
  std::string truth_column() const override { return "INTEGER"; }
  std::string number_column() const override { return "INTEGER"; }
  const char* keyed_table_end() const override { return " WITHOUT ROWID"; }
  std::string unique_names_in_table() const override { return ", UNIQUE (\"user\", domain, host)"; }
  std::string unique_names_index() const override { return ""; }
  std::string lock_row() const override { return ""; }  // the writer holds the whole file
  std::string purge_limit() const override { return ""; }
  std::string entry_of(const std::string& row, const std::string& alias) const override {
    return " JOIN logons " + alias + " ON " + alias + ".id = " + row + ".logon";
  }
  std::string transaction_column() const override { return "INTEGER NOT NULL DEFAULT 0"; }
  std::string transaction_index() const override { return ""; }
};

const SqliteDialect kDialect;
const MapStatements kSql(kDialect);

// The map's format is the file's user_version, as map_format() and schema_steps() number it. 0:
// the first format (one table, the addresses only as a list in each entry), or a map written back
// from a dump, which loses the number; its entries are given keys before the steps run.
const std::vector<SchemaStep> kSteps = schema_steps(kDialect);

// What a map of the first format held.
constexpr const char* kEntryColumns =
    "user, domain, host, ips, peer, persistent, authenticated, first_seen, last_seen, expires";

// One prepared statement, finalized when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& bind(int index, const SqlValue& value) {
    return value.type == SqlType::Text ? bind(index, value.text) : bind(index, value.number);
  }
  // Binds `values` from parameter `first` on.
  Statement& bind_all(int first, const std::vector<SqlValue>& values) {
    for (const SqlValue& value : values) bind(first++, value);
    return *this;
  }
  int step() { return stmt_ == nullptr ? SQLITE_ERROR : sqlite3_step(stmt_); }
  // Makes the statement ready for its next use.
  void reset() {
    if (stmt_ == nullptr) return;  // sqlite3_clear_bindings does not take a null statement
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  // Runs a statement that returns no rows.
  bool run_once() {
    const bool done = step() == SQLITE_DONE;
    reset();
    return done;
  }
  std::string text(int column) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return p == nullptr ? std::string() : std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
  }
  std::int64_t number(int column) const { return sqlite3_column_int64(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

bool fail(sqlite3* db, std::string* error) {
  *error = sqlite3_errmsg(db);
  return false;
}

// How long one listing may read before SQLite is told to stop it: a reader answers its reads in
// turn, so that no page of the console may hold up the ones queued behind it for long. SQLite
// asks every kProgressSteps steps of its machine whether to go on.
class ListingDeadline {
 public:
  explicit ListingDeadline(std::int64_t milliseconds) : limit_(milliseconds) {}
  void watch(sqlite3* db) { sqlite3_progress_handler(db, kProgressSteps, &ListingDeadline::expired, this); }
  void start() {
    until_ = std::chrono::steady_clock::now() + limit_;
    armed_ = true;
    stopped_ = false;
  }
  void end() { armed_ = stopped_ = false; }
  bool stopped() const { return stopped_; }
  std::string why() const {
    return "the read took longer than " + std::to_string(limit_.count()) +
           " ms and was stopped: ask for less (a shorter span of time, a smaller page)";
  }

 private:
  static constexpr int kProgressSteps = 1000;
  static int expired(void* self) {
    ListingDeadline& d = *static_cast<ListingDeadline*>(self);
    if (d.armed_ && std::chrono::steady_clock::now() >= d.until_) d.stopped_ = true;
    return d.stopped_ ? 1 : 0;
  }

  const std::chrono::milliseconds limit_;
  std::chrono::steady_clock::time_point until_;
  bool armed_ = false;
  bool stopped_ = false;
};

// A listing under way: its deadline runs from here to the end of the scope.
class Listing {
 public:
  explicit Listing(ListingDeadline& deadline) : deadline_(deadline) { deadline_.start(); }
  ~Listing() { deadline_.end(); }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

 private:
  ListingDeadline& deadline_;
};

bool execute(sqlite3* db, const std::string& sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = message != nullptr ? message : "unknown error";
  sqlite3_free(message);
  return false;
}

// A connection that is closed when it goes out of scope, unless released.
struct Database {
  explicit Database(sqlite3* db) : db(db) {}
  ~Database() { sqlite3_close_v2(db); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  sqlite3* release() {
    sqlite3* out = db;
    db = nullptr;
    return out;
  }
  sqlite3* db;
};

sqlite3* open_file(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  // Each connection belongs to one thread at a time; SQLite need not lock it for us.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    *error = "cannot open user map " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  Database guard(db);
  sqlite3_busy_timeout(db, 5000);
  // WAL with synchronous=FULL syncs the log on every commit: a login that was
  // acknowledged survives a kill -9 or a power cut. Readers do not wait for the writer.
  std::string why;
  if (!execute(db, "PRAGMA journal_mode=WAL", &why) || !execute(db, "PRAGMA synchronous=FULL", &why) ||
      !execute(db, "PRAGMA foreign_keys=ON", &why)) {
    *error = "cannot use user map " + path + ": " + why;
    return nullptr;
  }
  return guard.release();
}

bool read_number(sqlite3* db, const char* sql, std::int64_t* out, std::string* error) {
  Statement query(db, sql);
  if (query.step() != SQLITE_ROW) return fail(db, error);
  *out = query.number(0);
  return true;
}

// Whether `table` has `column` (a map of an earlier format may lack it).
bool has_column(sqlite3* db, const std::string& table, const std::string& column, bool* out, std::string* error) {
  Statement query(db, "SELECT count(*) FROM pragma_table_info(?1) WHERE name = ?2");
  query.bind(1, table).bind(2, column);
  if (query.step() != SQLITE_ROW) return fail(db, error);
  *out = query.number(0) != 0;
  return true;
}

// Adds the columns of the steps past `format` that the tables lack.
bool add_missing_columns(sqlite3* db, std::int64_t format, std::string* error) {
  for (const SchemaStep& step : kSteps) {
    bool present = false;
    if (step.format <= format) continue;
    if (!has_column(db, step.table, step.column, &present, error)) return false;
    if (!present && !execute(db, "ALTER TABLE " + step.table + " ADD COLUMN " + step.definition, error)) return false;
  }
  return true;
}

// Brings a map of `format` up to this one: its columns, then what each step does to the rows.
bool run_steps(sqlite3* db, std::int64_t format, std::string* error) {
  if (!add_missing_columns(db, format, error)) return false;
  for (const SchemaStep& step : kSteps) {
    if (step.format > format && !step.then.empty() && !execute(db, step.then, error)) return false;
  }
  return true;
}

// Brings a map without a format number up to this one, in the transaction under way. A map of
// the first format has its entries moved to a table with an id. A map of this shape without the
// number (what sqlite3's .dump gives, which the recovery of a damaged map uses) keeps its tables.
// Either way every entry's addresses are indexed anew, so that none is left out of lookups.
bool migrate_first_format(sqlite3* db, std::string* notice, std::string* error) {
  bool has_id = false;
  if (!has_column(db, "logons", "id", &has_id, error)) return false;
  const std::string move_entries =
      has_id ? map_tables(kDialect) + "DELETE FROM logon_addresses;"
             : std::string("DROP INDEX IF EXISTS logons_by_expiry; ALTER TABLE logons RENAME TO "
                           "logons_first_format;") +
                   map_tables(kDialect) + "INSERT INTO logons (" + kEntryColumns + ") SELECT " + kEntryColumns +
                   " FROM logons_first_format; DROP TABLE logons_first_format;";
  if (!execute(db, move_entries, error) || !add_missing_columns(db, 0, error)) return false;
  Statement entries(db, "SELECT id, ips, peer FROM logons");
  Statement add(db, kSql.add_address);
  if (!entries.ok() || !add.ok()) return fail(db, error);
  std::int64_t moved = 0;
  std::int64_t unmatched = 0;
  int rc = SQLITE_ROW;
  while ((rc = entries.step()) == SQLITE_ROW) {
    ++moved;
    const std::vector<std::string> ips = split_addresses(entries.text(1));
    unmatched += static_cast<std::int64_t>(unmatched_addresses(ips).size());
    for (const std::string& address : lookup_addresses(ips, entries.text(2))) {
      if (!add.bind(1, address).bind(2, entries.number(0)).bind(3, std::int64_t{0}).run_once()) return fail(db, error);
    }
  }
  if (rc != SQLITE_DONE) return fail(db, error);
  *notice = "indexed the addresses of the " + std::to_string(moved) + " entries of " +
            (has_id ? "a map without its format number (written back from a dump)" : "a map of the first format");
  if (unmatched > 0)
    *notice += "; " + std::to_string(unmatched) + " reported addresses with leading zeros are shown but never matched";
  return true;
}

// The line of a map brought up from `format`, and the events of the entries it holds, in the
// transaction of the migration.
bool report_migration(sqlite3* db, std::int64_t format, std::string* notice, std::string* error) {
  std::int64_t entries = 0;
  if (!read_number(db, count_entries_sql().c_str(), &entries, error)) return false;
  std::vector<std::string> credit;
  for (const CreditChangeNote& note : credit_change_notes()) {
    std::int64_t touched = 0;
    if (note.format <= format) continue;
    if (!read_number(db, note.count.c_str(), &touched, error)) return false;
    credit.push_back(credit_change_text(touched, note));
  }
  if (!execute(db, migrated_events_sql(std::time(nullptr)), error)) return false;
  *notice += (notice->empty() ? "" : "\n") + migration_line(format, map_format(kDialect), entries, credit);
  return true;
}

// Creates the tables, or brings an older map up to date, in one transaction.
bool prepare_schema(sqlite3* db, const std::string& path, std::string* notice, std::string* error) {
  std::string why;
  if (!execute(db, "BEGIN IMMEDIATE", &why)) {
    *error = "cannot use user map " + path + ": " + why;
    return false;
  }
  std::int64_t format = 0;
  std::int64_t tables = 0;
  bool ok = read_number(db, "PRAGMA user_version", &format, &why) &&
            read_number(db, "SELECT count(*) FROM sqlite_master WHERE name = 'logons'", &tables, &why);
  if (ok && format > map_format(kDialect)) {
    why = "written by a newer version of the service (format " + std::to_string(format) + ")";
    ok = false;
  }
  if (ok && format == 0 && tables > 0) ok = migrate_first_format(db, notice, &why);
  if (ok) ok = execute(db, map_tables(kDialect), &why) && run_steps(db, format, &why);
  const std::string stamp = "PRAGMA user_version = " + std::to_string(map_format(kDialect));
  if (ok) ok = execute(db, map_indexes(kDialect) + stamp, &why);
  if (ok && tables > 0 && format < map_format(kDialect)) ok = report_migration(db, format, notice, &why);
  if (ok) ok = execute(db, "COMMIT", &why);
  if (ok) return true;
  std::string ignored;
  if (!sqlite3_get_autocommit(db)) execute(db, "ROLLBACK", &ignored);
  *error = "cannot use user map " + path + ": " + why;
  return false;
}

// A row of a statement that has just stepped onto it.
class StatementRow : public SqlRow {
 public:
  explicit StatementRow(const Statement& statement) : statement_(statement) {}
  std::string text(int column) const override { return statement_.text(column); }
  std::int64_t number(int column) const override { return statement_.number(column); }
  bool truth(int column) const override { return statement_.number(column) != 0; }

 private:
  const Statement& statement_;
};

class SqliteConnection : public MapConnection {
 public:
  SqliteConnection(sqlite3* db, std::int64_t listing_milliseconds)
      : db_(db),
        deadline_(listing_milliseconds),
        insert_(db, kSql.insert_entry),
        update_(db, kSql.update_entry),
        forget_addresses_(db, kSql.forget_addresses),
        add_address_(db, kSql.add_address),
        find_entry_(db, kSql.find_entry),
        count_other_hosts_(db, kSql.count_other_hosts),
        remove_(db, kSql.remove),
        purge_(db, kSql.purge),
        add_sample_(db, kSql.add_sample),
        forget_samples_(db, kSql.forget_samples),
        note_check_(db, kSql.note_check),
        add_event_(db, kSql.add_event),
        prune_events_(db, kSql.prune_events),
        count_current_(db, kSql.count_current),
        count_stale_(db, kSql.count_stale),
        count_conflicts_(db, kSql.count_conflicts),
        count_uncredited_(db, kSql.count_uncredited),
        count_unproven_(db, kSql.count_unproven),
        address_use_(db, kSql.address_use),
        address_answer_(db, kSql.address_answer),
        samples_(db, kSql.samples),
        proven_(db, kSql.proven),
        withdraw_claims_(db, kSql.withdraw_claims),
        credited_at_(db, kSql.credited_at),
        credited_addresses_(db, kSql.credited_addresses),
        expiring_credit_(db, kSql.expiring_credit) {
    deadline_.watch(db);
  }
  // Statements and cached reads are finalized after this body; sqlite3_close_v2 waits for them.
  ~SqliteConnection() override { sqlite3_close_v2(db_); }

  bool ready() const {
    return insert_.ok() && update_.ok() && forget_addresses_.ok() && add_address_.ok() && find_entry_.ok() &&
           count_other_hosts_.ok() && remove_.ok() && purge_.ok() && add_sample_.ok() && forget_samples_.ok() &&
           note_check_.ok() && add_event_.ok() && prune_events_.ok() && count_current_.ok() && count_stale_.ok() &&
           count_conflicts_.ok() && count_uncredited_.ok() && count_unproven_.ok() && address_use_.ok() &&
           address_answer_.ok() && samples_.ok() && proven_.ok() &&
           withdraw_claims_.ok() && credited_at_.ok() && credited_addresses_.ok() && expiring_credit_.ok();
  }

  bool begin(std::string* error) override { return execute(db_, "BEGIN IMMEDIATE", error); }
  bool commit(std::string* error) override { return execute(db_, "COMMIT", error); }
  void rollback() override {
    std::string ignored;
    if (in_transaction()) execute(db_, "ROLLBACK", &ignored);
  }
  bool in_transaction() override { return !sqlite3_get_autocommit(db_); }

  bool find_entry(const LogonEntry& e, StoredEntry* out, std::string* error) override {
    const int rc = find_entry_.bind(1, e.user).bind(2, e.domain).bind(3, e.host).step();
    *out = rc == SQLITE_ROW ? stored_entry_from_row(StatementRow(find_entry_), 0) : StoredEntry();
    find_entry_.reset();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail(db_, error);
    if (!out->found) return true;
    credited_addresses_.bind(1, out->id);
    int row = SQLITE_ROW;
    while ((row = credited_addresses_.step()) == SQLITE_ROW) out->credited.push_back(credited_addresses_.text(0));
    credited_addresses_.reset();
    return row == SQLITE_DONE || fail(db_, error);
  }

  bool count_other_hosts(const LogonEntry& e, std::int64_t now, std::size_t limit, std::size_t* count,
                         std::string* error) override {
    Statement& q = count_other_hosts_;
    const int rc = q.bind(1, e.user).bind(2, e.domain).bind(3, e.host).bind(4, now)
                       .bind(5, static_cast<std::int64_t>(limit)).step();
    *count = rc == SQLITE_ROW ? static_cast<std::size_t>(q.number(0)) : 0;
    q.reset();
    return rc == SQLITE_ROW || fail(db_, error);
  }

  bool insert_entry(const LogonEntry& e, std::int64_t* id, std::string* error) override {
    const int rc = insert_.bind_all(1, column_values(entry_columns(), e)).step();
    if (rc == SQLITE_ROW) *id = insert_.number(0);
    insert_.reset();
    return rc == SQLITE_ROW || fail(db_, error);
  }

  bool update_entry(std::int64_t id, const LogonEntry& e, std::string* error) override {
    const std::vector<SqlValue> values = column_values(refreshed_columns(), e);
    update_.bind_all(1, values).bind(static_cast<int>(values.size()) + 1, id);
    return update_.run_once() || fail(db_, error);
  }

  bool set_addresses(std::int64_t id, const std::vector<AddressCredit>& addresses, std::string* error) override {
    if (!forget_addresses_.bind(1, id).run_once()) return fail(db_, error);
    for (const AddressCredit& a : addresses) {
      if (!add_address_.bind(1, a.address).bind(2, id).bind(3, std::int64_t{a.credited}).run_once())
        return fail(db_, error);
    }
    return true;
  }

  bool remove(const LogonEntry& e, bool* removed, std::string* error) override {
    if (!remove_.bind(1, e.user).bind(2, e.domain).bind(3, e.host).run_once()) return fail(db_, error);
    *removed = sqlite3_changes(db_) > 0;
    return true;
  }

  bool proven(const std::string& address, std::int64_t now, bool* out, std::string* error) override {
    std::int64_t found = 0;
    if (!read_count(proven_.bind(1, address).bind(2, now), &found, error)) return false;
    *out = found != 0;
    return true;
  }

  bool withdraw_claims(const std::string& address, std::int64_t id, std::string* error) override {
    return withdraw_claims_.bind(1, address).bind(2, id).run_once() || fail(db_, error);
  }

  bool credited_at(const std::string& address, std::int64_t now, std::vector<CreditHolder>* out,
                   std::string* error) override {
    out->clear();
    credited_at_.bind(1, address).bind(2, now);
    int rc = SQLITE_ROW;
    while ((rc = credited_at_.step()) == SQLITE_ROW)
      out->push_back(CreditHolder{credited_at_.text(0), credited_at_.text(1), credited_at_.text(2)});
    credited_at_.reset();
    return rc == SQLITE_DONE || fail(db_, error);
  }

  bool expiring_credit(std::int64_t now, std::vector<CreditedAddress>* out, std::string* error) override {
    out->clear();
    Statement& q = expiring_credit_.bind(1, now);
    int rc = SQLITE_ROW;
    while ((rc = q.step()) == SQLITE_ROW)
      out->push_back(CreditedAddress{q.text(0), CreditHolder{q.text(1), q.text(2), q.text(3)}});
    q.reset();
    return rc == SQLITE_DONE || fail(db_, error);
  }

  bool purge(std::int64_t now, std::vector<LogonEntry>* expired, std::string* error) override {
    int rc = purge_.bind(1, now).step();
    for (; rc == SQLITE_ROW; rc = purge_.step()) expired->push_back(purged_entry(StatementRow(purge_)));
    purge_.reset();
    return rc == SQLITE_DONE || fail(db_, error);
  }

  bool record_events(const std::vector<LogonEvent>& events, std::string* error) override {
    for (const LogonEvent& e : events) {
      add_event_.bind(1, e.at).bind(2, e.kind).bind(3, e.user).bind(4, e.domain).bind(5, e.host).bind(6, e.address);
      if (!add_event_.run_once()) return fail(db_, error);
    }
    return true;
  }

  bool prune_events(std::int64_t before, std::string* error) override {
    return prune_events_.bind(1, before).run_once() || fail(db_, error);
  }

  bool add_sample(const MapSample& sample, std::int64_t keep_since, std::string* error) override {
    return (add_sample_.bind(1, sample.time).bind(2, sample.logged_on).run_once() &&
            forget_samples_.bind(1, keep_since).run_once()) ||
           fail(db_, error);
  }

  bool note_check(std::int64_t now, std::string* error) override {
    // Writes to a file that was deleted or renamed succeed, and are lost with the service.
    int moved = 0;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved != 0) {
      *error = "the map file was moved or deleted while the service had it open; what is written now "
               "is lost when the service ends: put the file back, or restart the service";
      return false;
    }
    return note_check_.bind(1, now).run_once() || fail(db_, error);
  }

  bool last_change(std::int64_t* out, std::string* error) override {
    Statement& query = read_statement(SqlStatement{kSql.last_change, {}});
    return query.ok() ? read_count(query, out, error) : fail(db_, error);
  }

  bool expire_unrefreshed(std::int64_t by, std::int64_t* changed, std::string* error) override {
    Statement update(db_, kSql.expire_unrefreshed);
    if (!update.ok() || !update.bind(1, by).run_once()) return fail(db_, error);
    *changed = sqlite3_changes(db_);
    return true;
  }

  bool find(const MapQuery& q, std::int64_t now, std::vector<LogonEntry>* out, std::string* error) override {
    const Listing listing(deadline_);
    out->clear();
    const SqlStatement sql = find_statement(kDialect, q, now);
    Statement& query = read_statement(sql);
    if (!query.ok()) return fail(db_, error);
    int rc = SQLITE_ROW;
    while ((rc = query.step()) == SQLITE_ROW) out->push_back(entry_from_row(StatementRow(query)));
    query.reset();
    return rc == SQLITE_DONE || fail_read(error);
  }

  bool count(const MapQuery& q, std::int64_t now, std::int64_t* out, std::string* error) override {
    const Listing listing(deadline_);
    Statement& query = read_statement(count_statement(kDialect, q, now));
    if (!query.ok()) return fail(db_, error);
    return read_count(query, out, error);
  }

  bool totals(std::int64_t now, std::int64_t stale_before, MapTotals* out, std::string* error) override {
    return read_count(count_current_.bind(1, now), &out->logged_on, error) &&
           read_count(count_stale_.bind(1, now).bind(2, stale_before), &out->stale, error) &&
           read_count(count_conflicts_.bind(1, now), &out->conflicts, error) &&
           read_count(count_uncredited_.bind(1, now), &out->uncredited, error) &&
           read_count(count_unproven_.bind(1, now), &out->unproven, error);
  }

  bool address_use(const std::string& address, std::int64_t now, AddressUse* out, std::string* error) override {
    const int rc = address_use_.bind(1, address).bind(2, now).step();
    if (rc == SQLITE_ROW)
      *out = AddressUse{address_use_.number(0), address_use_.number(1), address_use_.number(2), false, {}};
    address_use_.reset();
    if (rc != SQLITE_ROW) return fail(db_, error);
    Statement& q = address_answer_.bind(1, address).bind(2, now);
    const int answer = q.step();
    out->answered = answer == SQLITE_ROW;
    if (out->answered) out->answer = CreditHolder{q.text(0), q.text(1), q.text(2)};
    q.reset();
    return answer == SQLITE_ROW || answer == SQLITE_DONE || fail(db_, error);
  }

  bool samples(std::int64_t since, std::vector<MapSample>* out, std::string* error) override {
    out->clear();
    samples_.bind(1, since);
    int rc = SQLITE_ROW;
    while ((rc = samples_.step()) == SQLITE_ROW) out->push_back(MapSample{samples_.number(0), samples_.number(1)});
    samples_.reset();
    return rc == SQLITE_DONE || fail(db_, error);
  }

  bool history(const HistoryQuery& q, std::vector<LogonEvent>* out, std::string* error) override {
    return read_events(history_statement(kDialect, q), out, error);
  }

  bool holders(const HolderQuery& q, std::vector<LogonEvent>* out, std::string* error) override {
    return read_events(holders_statement(kDialect, q), out, error, holder_from_row);
  }

  bool feed_snapshot(std::int64_t now, FeedRead* out, std::string* error) override {
    *out = FeedRead();
    std::int64_t oldest = 0;
    out->position.since = now - kRefreshLag;
    return feed_head(out, &oldest, error) &&
           read_rows(SqlStatement{feed_snapshot_sql(kDialect), {number(now)}},
                     [out](const SqlRow& row) { out->items.push_back(feed_item_from_row(row, "")); }, error);
  }

  // Events are numbered in the order they are committed: those up to the newest number read are
  // all there. A refresh is told by the time it was last seen, once no commit can still bring one
  // from that time.
  bool feed_since(const FeedPosition& after, std::int64_t now, FeedRead* out, std::string* error) override {
    *out = FeedRead();
    std::int64_t oldest = 0;
    if (!feed_head(out, &oldest, error)) return false;
    const std::int64_t newest = out->position.mark;
    // Numbers begin again once every event is forgotten; events past the position may have been forgotten.
    out->lost = newest < after.mark || oldest > after.mark + 1;
    if (out->lost) return true;
    std::vector<FeedItem> events;
    const std::string range = "e.id > " + kDialect.param(1, SqlType::Number) + " AND e.id <= " + kDialect.param(2, SqlType::Number);
    if (!read_rows(SqlStatement{feed_events_sql(kDialect, range), {number(after.mark), number(newest)}},
                   [&events](const SqlRow& row) { events.push_back(feed_event_from_row(row)); }, error))
      return false;
    out->items = feed_changes(events);
    const std::int64_t until = now - kRefreshLag;
    out->position.since = std::max(after.since, until);
    if (until <= after.since) return true;
    const std::string window = "l.last_seen >= ?1 AND l.last_seen < ?2";
    return read_rows(SqlStatement{feed_refreshes_sql(kDialect, window, "?3"), {number(after.since), number(until), number(now)}},
                     [out](const SqlRow& row) { out->items.push_back(feed_item_from_row(row, "refreshed")); }, error);
  }

 private:
  // Longer than a login takes from its time stamp to its commit.
  static constexpr std::int64_t kRefreshLag = 5;

  static SqlValue number(std::int64_t value) { return SqlValue{SqlType::Number, {}, value}; }

  // The map's name, and the newest and oldest events' numbers (as the position's mark).
  bool feed_head(FeedRead* out, std::int64_t* oldest, std::string* error) {
    return read_rows(SqlStatement{kFeedMapName, {}}, [out](const SqlRow& row) { out->map = row.text(0); }, error) &&
           read_rows(SqlStatement{"SELECT coalesce(max(id), 0), coalesce(min(id), 0) FROM logon_events", {}},
                     [out, oldest](const SqlRow& row) {
                       out->position.mark = row.number(0);
                       *oldest = row.number(1);
                     }, error);
  }

  bool read_rows(const SqlStatement& sql, const std::function<void(const SqlRow&)>& each, std::string* error) {
    Statement& query = read_statement(sql);
    if (!query.ok()) return fail(db_, error);
    int rc = SQLITE_ROW;
    while ((rc = query.step()) == SQLITE_ROW) each(StatementRow(query));
    query.reset();
    return rc == SQLITE_DONE || fail(db_, error);
  }

  // Reads the one number a statement returns, and makes the statement ready for its next use.
  bool read_count(Statement& query, std::int64_t* out, std::string* error) {
    const int rc = query.step();
    if (rc == SQLITE_ROW) *out = query.number(0);
    query.reset();
    return rc == SQLITE_ROW || fail_read(error);
  }

  // The store's error, or that the listing under way ran out of time.
  bool fail_read(std::string* error) {
    if (!deadline_.stopped()) return fail(db_, error);
    *error = deadline_.why();
    return false;
  }

  bool read_events(const SqlStatement& sql, std::vector<LogonEvent>* out, std::string* error,
                   LogonEvent (*from_row)(const SqlRow&) = event_from_row) {
    const Listing listing(deadline_);
    out->clear();
    Statement& query = read_statement(sql);
    if (!query.ok()) return fail(db_, error);
    int rc = SQLITE_ROW;
    while ((rc = query.step()) == SQLITE_ROW) out->push_back(from_row(StatementRow(query)));
    query.reset();
    return rc == SQLITE_DONE || fail_read(error);
  }

  // The few shapes of read are prepared once per connection; the statement comes with its parameters bound.
  Statement& read_statement(const SqlStatement& sql) {
    std::unique_ptr<Statement>& statement = reads_[sql.text];
    if (!statement) statement = std::make_unique<Statement>(db_, sql.text);
    for (std::size_t i = 0; statement->ok() && i < sql.params.size(); ++i) statement->bind(static_cast<int>(i + 1), sql.params[i]);
    return *statement;
  }

  sqlite3* db_;
  ListingDeadline deadline_;
  Statement insert_;
  Statement update_;
  Statement forget_addresses_;
  Statement add_address_;
  Statement find_entry_;
  Statement count_other_hosts_;
  Statement remove_;
  Statement purge_;
  Statement add_sample_;
  Statement forget_samples_;
  Statement note_check_;
  Statement add_event_;
  Statement prune_events_;
  Statement count_current_;
  Statement count_stale_;
  Statement count_conflicts_;
  Statement count_uncredited_;
  Statement count_unproven_;
  Statement address_use_;
  Statement address_answer_;
  Statement samples_;
  Statement proven_;
  Statement withdraw_claims_;
  Statement credited_at_;
  Statement credited_addresses_;
  Statement expiring_credit_;
  std::map<std::string, std::unique_ptr<Statement>> reads_;
};

class SqliteStore : public MapStore {
 public:
  SqliteStore(std::string path, std::int64_t listing_milliseconds)
      : path_(std::move(path)), listing_milliseconds_(listing_milliseconds) {}

  std::unique_ptr<MapConnection> connect(std::string* error) override {
    sqlite3* db = open_file(path_, error);
    if (db == nullptr) return nullptr;
    auto connection = std::make_unique<SqliteConnection>(db, listing_milliseconds_);
    if (!connection->ready()) {
      *error = std::string("user map: ") + sqlite3_errmsg(db);
      return nullptr;
    }
    return connection;
  }

 private:
  const std::string path_;
  const std::int64_t listing_milliseconds_;
};

}  // namespace

std::unique_ptr<MapStore> open_sqlite_store(const std::string& path, std::int64_t listing_milliseconds, std::string* notice,
                                            std::string* error) {
  sqlite3* db = open_file(path, error);
  if (db == nullptr) return nullptr;
  Database guard(db);
  if (!prepare_schema(db, path, notice, error)) return nullptr;
  return std::make_unique<SqliteStore>(path, listing_milliseconds);
}
