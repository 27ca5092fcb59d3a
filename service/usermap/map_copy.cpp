// Copying a whole map, its entries with their credit, its history and its samples, from one store to another.
#include "usermap/map_copy.h"

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <memory>

#include "usermap/map_limits.h"
#include "usermap/map_store.h"
#include "usermap/pg_uri.h"
#include "usermap/postgres_store.h"
#include "usermap/sqlite_store.h"

namespace {

// Expired or not, every entry is copied: the purge of the target decides, as that of the source would have.
constexpr std::int64_t kBeforeAll = std::numeric_limits<std::int64_t>::min();
constexpr std::size_t kPage = 1000;

// A connection to the map at `path`; the map is brought up to this service's format on the way.
std::unique_ptr<MapConnection> connect_to(const std::string& path, bool must_exist, std::unique_ptr<MapStore>* store,
                                          std::string* error) {
  std::string notice;
  if (is_postgres_uri(path)) {
    *store = open_postgres_store(path, &notice, error);
  } else if (must_exist && access(path.c_str(), F_OK) != 0) {
    *error = "no map at " + path;
    return nullptr;
  } else {
    *store = open_sqlite_store(path, MapLimits().listing_milliseconds, &notice, error);
  }
  return *store ? (*store)->connect(error) : nullptr;
}

bool read_entries(MapConnection& db, std::vector<LogonEntry>* out, std::string* error) {
  MapQuery q;
  q.limit = kPage;
  std::vector<LogonEntry> page;
  do {
    if (!db.find(q, kBeforeAll, &page, error)) return false;
    const std::size_t kept = std::min(page.size(), kPage);
    out->insert(out->end(), page.begin(), page.begin() + static_cast<std::ptrdiff_t>(kept));
    q.offset += kPage;
  } while (page.size() > kPage);
  return true;
}

// The whole history, oldest first, as it was recorded.
bool read_events(MapConnection& db, std::vector<LogonEvent>* out, std::string* error) {
  HistoryQuery q;
  q.limit = kPage;
  std::vector<LogonEvent> page;
  do {
    if (!db.history(q, &page, error)) return false;
    const std::size_t kept = std::min(page.size(), kPage);
    out->insert(out->end(), page.begin(), page.begin() + static_cast<std::ptrdiff_t>(kept));
    q.offset += kPage;
  } while (page.size() > kPage);
  std::reverse(out->begin(), out->end());
  return true;
}

bool is_empty(MapConnection& db, const std::string& path, std::string* error) {
  std::int64_t entries = 0;
  std::vector<LogonEvent> events;
  HistoryQuery one;
  one.limit = 1;
  if (!db.count(MapQuery(), kBeforeAll, &entries, error) || !db.history(one, &events, error)) return false;
  if (entries == 0 && events.empty()) return true;
  *error = map_display_name(path) + " is not empty: it holds " + std::to_string(entries) +
           " entries and a history; copy into a new map";
  return false;
}

// An entry's addresses with their credit, as it was read.
std::vector<AddressCredit> credit_of(const LogonEntry& e) {
  std::vector<AddressCredit> out;
  for (const std::string& address : lookup_addresses(e.ips, e.peer)) {
    const bool claimed = std::find(e.uncredited.begin(), e.uncredited.end(), address) != e.uncredited.end();
    out.push_back(AddressCredit{address, !claimed});
  }
  return out;
}

bool write_all(MapConnection& db, const std::vector<LogonEntry>& entries, const std::vector<LogonEvent>& events,
               const std::vector<MapSample>& samples, std::string* error) {
  if (!db.begin(error)) return false;
  bool ok = true;
  for (std::size_t i = 0; ok && i < entries.size(); ++i) {
    std::int64_t id = 0;
    ok = db.insert_entry(entries[i], &id, error) && db.set_addresses(id, credit_of(entries[i]), error);
  }
  ok = ok && db.record_events(events, error);
  for (std::size_t i = 0; ok && i < samples.size(); ++i) ok = db.add_sample(samples[i], kBeforeAll, error);
  ok = ok && db.sent(error) && db.commit(error);
  if (!ok && db.in_transaction()) db.rollback();
  return ok;
}

}  // namespace

bool copy_map(const std::string& from, const std::string& to, std::string* said, std::string* error) {
  std::unique_ptr<MapStore> source_store;
  std::unique_ptr<MapStore> target_store;
  std::unique_ptr<MapConnection> source = connect_to(from, true, &source_store, error);
  std::unique_ptr<MapConnection> target = source ? connect_to(to, false, &target_store, error) : nullptr;
  if (!target || !is_empty(*target, to, error)) return false;
  std::vector<LogonEntry> entries;
  std::vector<LogonEvent> events;
  std::vector<MapSample> samples;
  if (!read_entries(*source, &entries, error) || !read_events(*source, &events, error) ||
      !source->samples(kBeforeAll, &samples, error) || !write_all(*target, entries, events, samples, error))
    return false;
  *said = "copied " + std::to_string(entries.size()) + " entries, " + std::to_string(events.size()) + " events and " +
          std::to_string(samples.size()) + " samples from " + map_display_name(from) + " to " + map_display_name(to);
  return true;
}
