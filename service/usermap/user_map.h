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

 private:
  explicit UserMap(sqlite3* db) : db_(db) {}
  bool purge(std::int64_t now, std::string* error);

  sqlite3* db_;
  std::mutex mutex_;
};
