// Checks made before the user map is opened: that its folder can hold it, and that the file is not damaged.
#include "usermap/map_checks.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string this_user() { return "user " + std::to_string(geteuid()); }

bool may(const std::string& path, int mode) { return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0; }

// A connection that only reads: opening never creates the file, and closing it does not
// checkpoint the write-ahead log into a file that may be damaged.
class CheckConnection {
 public:
  explicit CheckConnection(const std::string& path) {
    rc_ = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    if (rc_ == SQLITE_OK) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  }
  ~CheckConnection() { sqlite3_close_v2(db_); }
  CheckConnection(const CheckConnection&) = delete;
  CheckConnection& operator=(const CheckConnection&) = delete;

  // quick_check(1) stops at the first problem and reads every page once, but does not
  // compare the indexes with their table as integrity_check does (about four times as
  // long): about 0.15 s for a map of 200,000 entries, growing with the map's size.
  // Returns "ok", SQLite's finding, or its error; `damaged` tells which.
  std::string quick_check(bool* damaged) {
    *damaged = false;
    if (rc_ != SQLITE_OK) return error_text();
    sqlite3_stmt* stmt = nullptr;
    std::string finding;
    rc_ = sqlite3_prepare_v2(db_, "PRAGMA quick_check(1)", -1, &stmt, nullptr);
    if (rc_ == SQLITE_OK && (rc_ = sqlite3_step(stmt)) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      finding = text != nullptr ? text : "";
      rc_ = sqlite3_step(stmt);
    }
    sqlite3_finalize(stmt);
    if (rc_ != SQLITE_DONE) finding = error_text();
    const int primary = rc_ & 0xff;
    *damaged = primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || (rc_ == SQLITE_DONE && finding != "ok");
    return finding;
  }

 private:
  std::string error_text() const { return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory"; }

  sqlite3* db_ = nullptr;
  int rc_ = SQLITE_OK;
};

}  // namespace

std::string map_location_problem(const std::string& path) {
  const std::string folder = folder_of(path);
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) {
    if (errno == ENOENT) return "folder " + folder + " does not exist (create it, or give --db a file in a folder that does)";
    return "folder " + folder + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(info.st_mode)) return folder + " is not a folder";
  // SQLite keeps its write-ahead log and index files beside the map: the folder must be
  // writable even when the map itself exists.
  if (!may(folder, W_OK | X_OK)) {
    return "folder " + folder + " may not be written by " + this_user() + " (" + std::strerror(errno) +
           "); SQLite keeps its journal files beside the map";
  }
  if (may(path, F_OK) && !may(path, R_OK | W_OK))
    return "the map may not be read and written by " + this_user() + " (" + std::strerror(errno) + ")";
  return "";
}

bool check_map_intact(const std::string& path, std::string* error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || info.st_size == 0) return true;  // a new map
  bool damaged = false;
  std::string finding = CheckConnection(path).quick_check(&damaged);
  if (finding == "ok") return true;
  for (char& c : finding) c = c == '\n' ? ' ' : c;  // SQLite's report spans lines
  if (!damaged) {
    *error = "cannot check user map " + path + ": " + finding;
    return false;
  }
  const std::string aside = path + ".damaged";
  *error = "user map " + path + " is damaged (" + finding + "); the service will not start on it and has changed " +
           "nothing in it. To recover, move it aside with its -wal file if any (mv " + path + " " + aside + "; mv " +
           path + "-wal " + aside + "-wal), delete " + path + "-shm, and start again: the new map fills as agents " +
           "log in, resident ones within one --interval. To keep what is still readable, before that start: " +
           "sqlite3 " + aside + " .dump | sed '$s/^ROLLBACK.*/COMMIT;/' | sqlite3 " + path;
  return false;
}
