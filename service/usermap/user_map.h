// The user map: who is logged on at which machine, kept in SQLite so it survives restarts and crashes.
#pragma once

#include <cstdint>
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
  // Opens or creates the database file. Every change is committed with a
  // synchronous write before the call returns.
  static std::unique_ptr<UserMap> open(const std::string& path, std::string* error);
  ~UserMap();
  UserMap(const UserMap&) = delete;
  UserMap& operator=(const UserMap&) = delete;

  // Adds the entry or refreshes the one for the same user, domain and host
  // (letter case ignored), keeping its first_seen.
  bool record_login(const LogonEntry& entry, std::string* error);
  bool record_logout(const std::string& user, const std::string& domain, const std::string& host,
                     bool* removed, std::string* error);
  // Deletes the entries expired at `now`, then lists the rest.
  bool current(std::int64_t now, std::vector<LogonEntry>* out, std::string* error);
  // Reads, never writes: entries not expired at `now` that match, at most
  // limit + 1 of them (the extra one tells that another page follows). A plain
  // listing is ordered by user, domain and host; a lookup by address or user
  // lists the most recently seen first.
  bool find(const MapQuery& query, std::int64_t now, std::vector<LogonEntry>* out, std::string* error);

 private:
  explicit UserMap(sqlite3* db) : db_(db) {}
  bool purge(std::int64_t now, std::string* error);

  sqlite3* db_;
  std::mutex mutex_;
};
