// The user map: who is logged on at which machine, kept in SQLite so it survives restarts and crashes.
#include "user_map.h"

#include <sqlite3.h>

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
    " PRIMARY KEY (user, domain, host))";

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

}  // namespace

std::unique_ptr<UserMap> UserMap::open(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    *error = "cannot open user map " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  // WAL with synchronous=FULL syncs the log on every commit: a login that was
  // acknowledged survives a kill -9 or a power cut.
  std::string why;
  if (!execute(db, "PRAGMA journal_mode=WAL", &why) || !execute(db, "PRAGMA synchronous=FULL", &why) ||
      !execute(db, kSchema, &why)) {
    *error = "cannot use user map " + path + ": " + why.substr(why.find(": ") + 2);
    sqlite3_close(db);
    return nullptr;
  }
  return std::unique_ptr<UserMap>(new UserMap(db));
}

UserMap::~UserMap() { sqlite3_close(db_); }

bool UserMap::purge(std::int64_t now, std::string* error) {
  Statement purge(db_, "DELETE FROM logons WHERE expires <= ?");
  if (!purge.ok() || purge.bind(1, now).step() != SQLITE_DONE) return fail(db_, error);
  return true;
}

bool UserMap::record_login(const LogonEntry& e, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!purge(e.last_seen, error)) return false;
  Statement upsert(db_,
                   "INSERT INTO logons (user, domain, host, ips, peer, persistent, authenticated,"
                   " first_seen, last_seen, expires) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"
                   " ON CONFLICT (user, domain, host) DO UPDATE SET ips = ?4, peer = ?5, persistent = ?6,"
                   " authenticated = ?7, last_seen = ?9, expires = ?10");
  if (!upsert.ok()) return fail(db_, error);
  upsert.bind(1, e.user).bind(2, e.domain).bind(3, e.host).bind(4, join(e.ips)).bind(5, e.peer);
  upsert.bind(6, std::int64_t{e.persistent}).bind(7, std::int64_t{e.authenticated});
  upsert.bind(8, e.first_seen).bind(9, e.last_seen).bind(10, e.expires);
  if (upsert.step() != SQLITE_DONE) return fail(db_, error);
  return true;
}

bool UserMap::record_logout(const std::string& user, const std::string& domain, const std::string& host,
                            bool* removed, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement remove(db_, "DELETE FROM logons WHERE user = ? AND domain = ? AND host = ?");
  if (!remove.ok() || remove.bind(1, user).bind(2, domain).bind(3, host).step() != SQLITE_DONE)
    return fail(db_, error);
  *removed = sqlite3_changes(db_) > 0;
  return true;
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

bool UserMap::current(std::int64_t now, std::vector<LogonEntry>* out, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  out->clear();
  if (!purge(now, error)) return false;
  Statement query(db_,
                  "SELECT user, domain, host, ips, peer, persistent, authenticated, first_seen, last_seen,"
                  " expires FROM logons ORDER BY host, domain, user");
  if (!query.ok()) return fail(db_, error);
  int rc = SQLITE_ROW;
  while ((rc = query.step()) == SQLITE_ROW) {
    LogonEntry e;
    e.user = query.text(0);
    e.domain = query.text(1);
    e.host = query.text(2);
    e.ips = split(query.text(3));
    e.peer = query.text(4);
    e.persistent = query.number(5) != 0;
    e.authenticated = query.number(6) != 0;
    e.first_seen = query.number(7);
    e.last_seen = query.number(8);
    e.expires = query.number(9);
    out->push_back(std::move(e));
  }
  if (rc != SQLITE_DONE) return fail(db_, error);
  return true;
}
