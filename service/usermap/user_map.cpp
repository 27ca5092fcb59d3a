// The user map: who is logged on at which machine, kept in a store that survives restarts and crashes.
#include "usermap/user_map.h"

#include <algorithm>
#include <ctime>

#include "common/job_queue.h"
#include "usermap/map_checks.h"
#include "usermap/map_failure.h"
#include "usermap/map_writer.h"
#include "usermap/postgres_store.h"
#include "usermap/sqlite_store.h"
#include "usermap/store_link.h"

// A reader thread on a connection of its own, and the reads queued for it.
struct UserMap::Reader {
  // A read on the reader's link: it takes the connection (see StoreLink), and after a failure asks
  // whether the same read may succeed later.
  using Job = std::function<void(StoreLink&)>;

  Reader(MapStore& store, std::unique_ptr<MapConnection> connection) : link(store, std::move(connection)) {}

  // False once stopping: the read is not queued.
  bool queue(Job job) {
    return reads.offer([this, job = std::move(job)] { job(link); });
  }
  // Answers what is queued, then ends the thread.
  void stop() { reads.stop(); }

  StoreLink link;
  JobQueue reads{1};
};

namespace {

// The page of `q` and what the status views show with it; false, with the store's error, when a read fails.
bool read_view(MapConnection& db, const MapQuery& q, std::int64_t now, const ViewExtras& extras, MapPage* page,
               std::string* error) {
  if (!db.find(q, now, &page->entries, error)) return false;
  const std::size_t shown = std::min(page->entries.size(), q.limit);
  // On the last page, and not beyond it, the number of matches is known without counting them.
  if (page->entries.size() <= q.limit && (shown > 0 || q.offset == 0)) {
    page->matches = static_cast<std::int64_t>(q.offset + shown);
  } else if (!db.count(q, now, &page->matches, error)) {
    return false;
  }
  for (std::size_t i = 0; i < shown; ++i) {
    for (const std::string& address : lookup_addresses(page->entries[i].ips, page->entries[i].peer)) {
      if (page->addresses.count(address) == 0 && !db.address_use(address, now, &page->addresses[address], error))
        return false;
    }
  }
  if (extras.totals && !db.totals(now, q.stale_before, &page->totals.emplace(), error)) return false;
  return !extras.history || db.samples(now - kHistorySeconds, &page->history, error);
}

}  // namespace

std::unique_ptr<UserMap> UserMap::open(const std::string& path, const MapLimits& limits, std::string* notice,
                                       std::string* error, const RestoreMark& mark) {
  std::unique_ptr<MapStore> store;
  if (is_postgres_uri(path)) {
    store = open_postgres_store(path, notice, error);
  } else {
    const std::string problem = map_location_problem(path);
    if (!problem.empty()) {
      *error = "cannot open user map " + path + ": " + problem;
      return nullptr;
    }
    if (check_map_intact(path, error)) store = open_sqlite_store(path, limits.listing_milliseconds, notice, error);
  }
  if (!store || !check_restored_map(*store, mark, std::time(nullptr), notice, error)) return nullptr;
  std::unique_ptr<UserMap> map = start(std::move(store), limits, error);
  if (map) map->mark_ = mark;
  return map;
}

std::unique_ptr<UserMap> UserMap::start(std::unique_ptr<MapStore> store, const MapLimits& limits,
                                        std::string* error) {
  std::unique_ptr<MapConnection> writer_db = store->connect(error);
  std::unique_ptr<MapConnection> lookups_db = writer_db ? store->connect(error) : nullptr;
  std::unique_ptr<MapConnection> listings_db = lookups_db ? store->connect(error) : nullptr;
  std::unique_ptr<MapConnection> feeds_db = listings_db ? store->connect(error) : nullptr;
  if (!feeds_db) return nullptr;
  auto writer = std::make_unique<MapWriter>(*store, std::move(writer_db), limits);
  auto lookups = std::make_unique<Reader>(*store, std::move(lookups_db));
  auto listings = std::make_unique<Reader>(*store, std::move(listings_db));
  auto feeds = std::make_unique<Reader>(*store, std::move(feeds_db));
  writer->start();
  std::unique_ptr<UserMap> map(
      new UserMap(std::move(store), std::move(writer), std::move(lookups), std::move(listings), std::move(feeds)));
  map->history_seconds_ = limits.history_days * 86400;
  return map;
}

UserMap::UserMap(std::unique_ptr<MapStore> store, std::unique_ptr<MapWriter> writer, std::unique_ptr<Reader> lookups,
                 std::unique_ptr<Reader> listings, std::unique_ptr<Reader> feeds)
    : store_(std::move(store)),
      writer_(std::move(writer)),
      lookups_(std::move(lookups)),
      listings_(std::move(listings)),
      feeds_(std::move(feeds)) {}

UserMap::~UserMap() { stop(); }

void UserMap::submit(MapChange change, ChangeDone done) { writer_->submit(std::move(change), std::move(done)); }

void UserMap::read(MapQuery query, std::int64_t now, ReadDone done, ViewExtras extras) {
  // Only a plain lookup by address is sure to be quick: the entries in conflict are found by walking the map.
  const bool lookup = !query.ip.empty() && query.show != MapShow::Conflicts && !extras.totals && !extras.history;
  Reader& reader = lookup ? *lookups_ : *listings_;
  if (reader.queue([query, now, extras, done](StoreLink& link) {
        MapPage page;
        std::string error;
        MapConnection* db = link.get(&error);
        if (db == nullptr || !read_view(*db, query, now, extras, &page, &error))
          page.failure = link_failure(link, db, error);
        done(std::move(page));
      }))
    return;
  MapPage closed;
  closed.failure = map_closed();
  done(std::move(closed));
}

namespace {

// A read of events on a reader's link, answered through `done`.
void history_job(
    StoreLink& link, const std::function<bool(MapConnection&, std::vector<LogonEvent>*, std::string*)>& read,
    const UserMap::HistoryDone& done) {
  HistoryPage page;
  std::string error;
  MapConnection* db = link.get(&error);
  if (db == nullptr || !read(*db, &page.events, &error)) page.failure = link_failure(link, db, error);
  done(std::move(page));
}

void closed(const UserMap::HistoryDone& done) {
  HistoryPage page;
  page.failure = map_closed();
  done(std::move(page));
}

}  // namespace

void UserMap::read_history(HistoryQuery query, HistoryDone done) {
  if (!listings_->queue([query, done](StoreLink& link) {
        history_job(link, [&query](MapConnection& db, std::vector<LogonEvent>* out, std::string* error) {
          return db.history(query, out, error);
        }, done);
      }))
    closed(done);
}

void UserMap::read_holders(HolderQuery query, HistoryDone done) {
  if (!listings_->queue([query, done](StoreLink& link) {
        history_job(link, [&query](MapConnection& db, std::vector<LogonEvent>* out, std::string* error) {
          return db.holders(query, out, error);
        }, done);
      }))
    closed(done);
}

void UserMap::read_feed(std::optional<FeedPosition> after, std::int64_t now, FeedDone done) {
  // Events older than the history keeps are forgotten: a position from before then may have missed
  // some, in any store (SQLite also tells by the events' numbers).
  const bool too_old = after && after->since < now - history_seconds_;
  if (feeds_->queue([after, now, done, too_old](StoreLink& link) {
        FeedRead read;
        std::string error;
        MapConnection* db = link.get(&error);
        const bool ok = db != nullptr && (after ? db->feed_since(*after, now, &read, &error)
                                                : db->feed_snapshot(now, &read, &error));
        read.lost = read.lost || too_old;
        done(read, ok ? Failure() : link_failure(link, db, error));
      }))
    return;
  done(FeedRead(), map_closed());
}

void UserMap::count_current(std::int64_t now, CountDone done) {
  if (lookups_->queue([now, done](StoreLink& link) {
        std::int64_t count = 0;
        std::string error;
        MapConnection* db = link.get(&error);
        if (db != nullptr && db->count(MapQuery(), now, &count, &error)) return done(count, Failure());
        done(0, link_failure(link, db, error));
      }))
    return;
  done(0, map_closed());
}

void UserMap::check(CheckDone done) { writer_->check(std::move(done)); }

void UserMap::observe_commits(CommitObserver observer) { writer_->observe_commits(std::move(observer)); }

void UserMap::observe_expiries(ExpiryObserver observer) { writer_->observe_expiries(std::move(observer)); }

void UserMap::observe_credit(CreditObserver observer) { writer_->observe_credit(std::move(observer)); }

void UserMap::stop() {
  writer_->stop();
  lookups_->stop();
  listings_->stop();
  keep_restore_mark(*store_, mark_);
  mark_.path.clear();
  feeds_->stop();
}
