// The user map: who is logged on at which machine, kept in SQLite so it survives restarts and crashes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

struct LogonEntry {
  std::string user;    // empty for a login accepted without authentication (test mode)
  std::string domain;
  std::string host;
  std::vector<std::string> ips;  // as the agent reported them
  std::string peer;              // address the request came from
  bool persistent = false;
  bool authenticated = false;
  std::int64_t first_seen = 0;  // epoch seconds
  std::int64_t last_seen = 0;
  std::int64_t expires = 0;
};

// A change the writer makes. A login adds the entry or refreshes the one for the
// same user, domain and host (letter case ignored), keeping its first_seen; a
// logout removes that entry and reads only those three names.
struct MapChange {
  enum class Kind { Login, Logout };
  Kind kind = Kind::Login;
  LogonEntry entry;
};

struct ChangeOutcome {
  bool ok = false;       // committed with a synchronous write
  bool removed = false;  // a logout found its entry
  std::string error;
};

// A page of the current entries, optionally only those at one address or of one user.
struct MapQuery {
  std::size_t limit = 500;
  std::size_t offset = 0;
  std::string ip;      // when set: entries that reported this address, or reported none and came from it
  std::string user;    // when set: entries of this user (letter case ignored)
  std::string domain;  // when set (with user): only in this domain
};

class UserMap {
 public:
  using ChangeDone = std::function<void(const ChangeOutcome&)>;

  // Opens or creates the database file and starts its writer thread.
  static std::unique_ptr<UserMap> open(const std::string& path, std::string* error);
  ~UserMap();
  UserMap(const UserMap&) = delete;
  UserMap& operator=(const UserMap&) = delete;

  // Queues a change for the writer thread. The writer commits every change
  // queued meanwhile in one transaction with one sync (group commit), then
  // calls each `done` on its own thread, so that no caller is told of a change
  // before it is durable. Entries expired by then are deleted at most once a second.
  void submit(MapChange change, ChangeDone done);
  // Commits what is queued and stops the writer; later changes fail.
  void stop_writer();
  // Reads, never writes: entries not expired at `now` that match, at most
  // limit + 1 of them (the extra one tells that another page follows). A plain
  // listing is ordered by user, domain and host; a lookup by address or user
  // lists the most recently seen first.
  bool find(const MapQuery& query, std::int64_t now, std::vector<LogonEntry>* out, std::string* error);

 private:
  struct Writer;
  UserMap(sqlite3* db, std::unique_ptr<Writer> writer);

  sqlite3* db_;  // readers' connection; the writer has its own
  std::mutex mutex_;
  std::unique_ptr<Writer> writer_;
};
