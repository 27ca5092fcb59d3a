// A map restored from a backup, recognised at start by a mark the service keeps in a file of its own.
#include "usermap/restore_mark.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "common/diagnostics.h"
#include "common/text.h"

namespace {

// The mark's file holds the map's name, then the time of its last change, each on a line.
bool read_mark(const RestoreMark& mark, std::int64_t* out) {
  std::ifstream in(mark.path);
  std::string name;
  std::int64_t time = 0;
  if (!std::getline(in, name) || name != mark.map_name || !(in >> time)) return false;
  *out = time;
  return true;
}

// Written whole beside the file and renamed over it, so that a crash leaves the old mark or the new one.
bool write_mark(const RestoreMark& mark, std::int64_t time, std::string* error) {
  const std::string temporary = mark.path + ".new";
  std::FILE* out = std::fopen(temporary.c_str(), "w");
  bool ok = out != nullptr && std::fprintf(out, "%s\n%lld\n", mark.map_name.c_str(), static_cast<long long>(time)) > 0;
  if (out != nullptr) ok = std::fclose(out) == 0 && ok;
  if (ok) ok = std::rename(temporary.c_str(), mark.path.c_str()) == 0;
  if (!ok) *error = mark.path + ": " + std::strerror(errno);
  return ok;
}

}  // namespace

bool check_restored_map(MapStore& store, const RestoreMark& mark, std::int64_t now, std::string* notice,
                        std::string* error) {
  std::int64_t marked = 0;
  if (mark.path.empty() || !read_mark(mark, &marked)) return true;
  std::unique_ptr<MapConnection> db = store.connect(error);
  std::int64_t last = 0;
  if (!db || !db->last_change(&last, error)) return false;
  if (last >= marked || last == 0) return true;  // a new map holds nothing a restore brought back
  const std::int64_t by = now + mark.interval;
  std::int64_t shortened = 0;
  if (!db->expire_unrefreshed(by, &shortened, error)) return false;
  *notice += std::string(notice->empty() ? "" : "\n") + "restored from a backup: its last change (" +
             iso8601_utc(last) + ") is older than the last this service saw (" + iso8601_utc(marked) + "), so its " +
             std::to_string(shortened) + " live entries expire at " + iso8601_utc(by) +
             " unless their agents refresh them before, since the logouts after the backup are lost";
  return true;
}

void keep_restore_mark(MapStore& store, const RestoreMark& mark) {
  if (mark.path.empty()) return;
  std::string error;
  std::unique_ptr<MapConnection> db = store.connect(&error);
  std::int64_t last = 0;
  if (db && db->last_change(&last, &error) && write_mark(mark, last, &error)) return;
  report("the map's last change was not kept, so a restore of the map from a backup will go unnoticed at the next "
         "start: " + error);
}
