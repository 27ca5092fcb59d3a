// The user map: who is logged on at which machine, kept in SQLite so it survives restarts and crashes.
#include "user_map.h"

#include <sqlite3.h>

#include <condition_variable>
#include <ctime>
#include <thread>

#include "map_checks.h"

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS logons ("
    " user TEXT NOT NULL COLLATE NOCASE,"
    " domain TEXT NOT NULL COLLATE NOCASE,"
    " host TEXT NOT NULL COLLATE NOCASE,"
    " ips TEXT NOT NULL,"
    " peer TEXT NOT NULL,"
    " persistent INTEGER NOT NULL,"
    " authenticated INTEGER NOT NULL,"
    " first_seen INTEGER NOT NULL,"
    " last_seen INTEGER NOT NULL,"
    " expires INTEGER NOT NULL,"
    " PRIMARY KEY (user, domain, host));"
    // The purge finds expired entries through this index instead of reading the whole map.
    "CREATE INDEX IF NOT EXISTS logons_by_expiry ON logons (expires)";

constexpr const char* kUpsert =
    "INSERT INTO logons (user, domain, host, ips, peer, persistent, authenticated,"
    " first_seen, last_seen, expires) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"
    " ON CONFLICT (user, domain, host) DO UPDATE SET ips = ?4, peer = ?5, persistent = ?6,"
    " authenticated = ?7, last_seen = ?9, expires = ?10";
constexpr const char* kRemove = "DELETE FROM logons WHERE user = ? AND domain = ? AND host = ?";
constexpr const char* kPurge = "DELETE FROM logons WHERE expires <= ?";

// One prepared statement, finalized when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
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
  int step() { return stmt_ == nullptr ? SQLITE_ERROR : sqlite3_step(stmt_); }
  // Runs a statement that returns no rows and makes it ready for the next use.
  bool run_once() {
    const bool done = step() == SQLITE_DONE;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
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
  *error = std::string("user map: ") + sqlite3_errmsg(db);
  return false;
}

bool execute(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = std::string("user map: ") + (message != nullptr ? message : "unknown error");
  sqlite3_free(message);
  return false;
}

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : ",") + items[i];
  return out;
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (!text.empty() && start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    out.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

sqlite3* open_connection(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    *error = "cannot open user map " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  // WAL with synchronous=FULL syncs the log on every commit: a login that was
  // acknowledged survives a kill -9 or a power cut. Readers do not wait for the writer.
  std::string why;
  if (!execute(db, "PRAGMA journal_mode=WAL", &why) || !execute(db, "PRAGMA synchronous=FULL", &why) ||
      !execute(db, kSchema, &why)) {
    *error = "cannot use user map " + path + ": " + why.substr(why.find(": ") + 2);
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

}  // namespace

// The one thread that writes: it owns its own connection and statements.
struct UserMap::Writer {
  struct Pending {
    MapChange change;
    ChangeDone done;
  };

  explicit Writer(sqlite3* db) : db(db), upsert(db, kUpsert), remove(db, kRemove), purge(db, kPurge) {}
  // sqlite3_close_v2 waits for the statements, which are finalized after this body.
  ~Writer() { sqlite3_close_v2(db); }

  bool ready() const { return upsert.ok() && remove.ok() && purge.ok(); }

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      queued.wait(lock, [this] { return stopping || !queue.empty(); });
      if (queue.empty()) return;
      std::vector<Pending> batch;
      batch.swap(queue);
      lock.unlock();
      commit(batch);
      lock.lock();
    }
  }

  void commit(std::vector<Pending>& batch) {
    std::vector<ChangeOutcome> outcomes(batch.size());
    std::string error;
    bool ok = execute(db, "BEGIN IMMEDIATE", &error);
    if (ok) purge_if_due();
    for (std::size_t i = 0; ok && i < batch.size(); ++i) outcomes[i] = apply(batch[i].change);
    // Some failures (disk full, I/O) roll the whole transaction back.
    if (ok && sqlite3_get_autocommit(db)) ok = fail(db, &error);
    if (ok) ok = execute(db, "COMMIT", &error);
    if (!ok) {
      std::string ignored;
      if (!sqlite3_get_autocommit(db)) execute(db, "ROLLBACK", &ignored);
      for (ChangeOutcome& outcome : outcomes) outcome = ChangeOutcome{false, false, error};
    }
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i].done(outcomes[i]);
  }

  // A failed purge is tried again with the next commit; it must not cost the logins.
  void purge_if_due() {
    const std::int64_t now = std::time(nullptr);
    if (now <= last_purge) return;
    purge.bind(1, now);
    if (purge.run_once()) last_purge = now;
  }

  ChangeOutcome apply(const MapChange& change) {
    const LogonEntry& e = change.entry;
    ChangeOutcome outcome;
    if (change.kind == MapChange::Kind::Logout) {
      remove.bind(1, e.user).bind(2, e.domain).bind(3, e.host);
      outcome.ok = remove.run_once();
      outcome.removed = outcome.ok && sqlite3_changes(db) > 0;
    } else {
      upsert.bind(1, e.user).bind(2, e.domain).bind(3, e.host).bind(4, join(e.ips)).bind(5, e.peer);
      upsert.bind(6, std::int64_t{e.persistent}).bind(7, std::int64_t{e.authenticated});
      upsert.bind(8, e.first_seen).bind(9, e.last_seen).bind(10, e.expires);
      outcome.ok = upsert.run_once();
    }
    if (!outcome.ok) fail(db, &outcome.error);
    return outcome;
  }

  sqlite3* db;
  Statement upsert;
  Statement remove;
  Statement purge;
  std::int64_t last_purge = 0;  // epoch second of the last purge

  std::mutex mutex;
  std::condition_variable queued;
  std::vector<Pending> queue;
  bool stopping = false;
  std::thread thread;
};

std::unique_ptr<UserMap> UserMap::open(const std::string& path, std::string* error) {
  const std::string problem = map_location_problem(path);
  if (!problem.empty()) {
    *error = "cannot open user map " + path + ": " + problem;
    return nullptr;
  }
  if (!check_map_intact(path, error)) return nullptr;
  sqlite3* readers = open_connection(path, error);
  if (readers == nullptr) return nullptr;
  sqlite3* writer_db = open_connection(path, error);
  if (writer_db == nullptr) {
    sqlite3_close(readers);
    return nullptr;
  }
  auto writer = std::make_unique<Writer>(writer_db);
  if (!writer->ready()) {
    fail(writer_db, error);
    sqlite3_close(readers);
    return nullptr;
  }
  Writer* w = writer.get();
  w->thread = std::thread([w] { w->run(); });
  return std::unique_ptr<UserMap>(new UserMap(readers, std::move(writer)));
}

UserMap::UserMap(sqlite3* db, std::unique_ptr<Writer> writer) : db_(db), writer_(std::move(writer)) {}

UserMap::~UserMap() {
  stop_writer();
  writer_.reset();
  sqlite3_close(db_);
}

void UserMap::submit(MapChange change, ChangeDone done) {
  {
    std::lock_guard<std::mutex> lock(writer_->mutex);
    if (!writer_->stopping) {
      writer_->queue.push_back(Writer::Pending{std::move(change), std::move(done)});
      writer_->queued.notify_one();
      return;
    }
  }
  done(ChangeOutcome{false, false, "user map: closed"});
}

void UserMap::stop_writer() {
  {
    std::lock_guard<std::mutex> lock(writer_->mutex);
    writer_->stopping = true;
    writer_->queued.notify_one();
  }
  if (writer_->thread.joinable()) writer_->thread.join();
}

namespace {

LogonEntry entry_from_row(const Statement& row) {
  LogonEntry e;
  e.user = row.text(0);
  e.domain = row.text(1);
  e.host = row.text(2);
  e.ips = split(row.text(3));
  e.peer = row.text(4);
  e.persistent = row.number(5) != 0;
  e.authenticated = row.number(6) != 0;
  e.first_seen = row.number(7);
  e.last_seen = row.number(8);
  e.expires = row.number(9);
  return e;
}

// Only the filters in use are in the statement, so that a lookup by user walks the primary
// key's index. A plain listing follows that index too: a page is a walk along it, with no
// sort of the whole map. An address lookup reads every row: addresses are kept as a list.
std::string find_sql(const MapQuery& q) {
  std::string sql =
      "SELECT user, domain, host, ips, peer, persistent, authenticated, first_seen, last_seen, expires"
      " FROM logons WHERE expires > ?1";
  if (!q.ip.empty()) sql += " AND (instr(',' || ips || ',', ',' || ?2 || ',') > 0 OR (ips = '' AND peer = ?2))";
  if (!q.user.empty()) sql += " AND user = ?3";
  if (!q.user.empty() && !q.domain.empty()) sql += " AND domain = ?4";
  const bool lookup = !q.ip.empty() || !q.user.empty();
  sql += lookup ? " ORDER BY last_seen DESC, host, domain, user" : " ORDER BY user, domain, host";
  return sql + " LIMIT ?5 OFFSET ?6";
}

}  // namespace

bool UserMap::find(const MapQuery& q, std::int64_t now, std::vector<LogonEntry>* out, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  out->clear();
  const std::string sql = find_sql(q);
  Statement query(db_, sql.c_str());
  if (!query.ok()) return fail(db_, error);
  // Numbered parameters: one left out of the statement is still a slot that takes a value.
  query.bind(1, now).bind(2, q.ip).bind(3, q.user).bind(4, q.domain);
  query.bind(5, static_cast<std::int64_t>(q.limit) + 1).bind(6, static_cast<std::int64_t>(q.offset));
  int rc = SQLITE_ROW;
  while ((rc = query.step()) == SQLITE_ROW) out->push_back(entry_from_row(query));
  if (rc != SQLITE_DONE) return fail(db_, error);
  return true;
}
