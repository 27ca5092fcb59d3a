// The user map: who is logged on at which machine, kept in a store that survives restarts and crashes.
#include "user_map.h"

#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

#include "sqlite_store.h"

namespace {

// Reader threads, each with a connection of its own.
constexpr std::size_t kReaders = 2;

}  // namespace

// The one thread that writes, on a connection of its own.
struct UserMap::Writer {
  struct Pending {
    MapChange change;
    ChangeDone done;
  };

  Writer(std::unique_ptr<MapConnection> connection, const MapLimits& limits)
      : db(std::move(connection)), limits(limits) {}

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

  // The batch is committed whole or not at all: a change that fails undoes the others, so that
  // no change is half made and every caller hears what happened to its own.
  void commit(std::vector<Pending>& batch) {
    std::vector<ChangeOutcome> outcomes(batch.size());
    std::string error;
    bool ok = db->begin(&error);
    if (ok) purge_if_due();
    for (std::size_t i = 0; ok && i < batch.size(); ++i) {
      outcomes[i] = apply(batch[i].change);
      if (!outcomes[i].ok) {
        ok = false;
        error = outcomes[i].error;
      }
    }
    if (ok && !db->in_transaction()) {
      ok = false;
      error = "user map: the transaction was rolled back";
    }
    if (ok) ok = db->commit(&error);
    if (!ok) {
      db->rollback();
      for (ChangeOutcome& outcome : outcomes) outcome = ChangeOutcome{false, false, "", error};
    }
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i].done(outcomes[i]);
  }

  // A failed purge is tried again with the next commit; it must not cost the logins.
  void purge_if_due() {
    const std::int64_t now = std::time(nullptr);
    std::string ignored;
    if (now > last_purge && db->purge(now, &ignored)) last_purge = now;
  }

  ChangeOutcome apply(const MapChange& change) {
    const LogonEntry& e = change.entry;
    ChangeOutcome outcome;
    if (change.kind == MapChange::Kind::Logout) {
      outcome.ok = db->remove(e, &outcome.removed, &outcome.error);
      return outcome;
    }
    outcome.refused = over_limit(e, &outcome.error);
    if (!outcome.error.empty()) return outcome;
    outcome.ok = !outcome.refused.empty() || db->upsert(e, lookup_addresses(e), &outcome.error);
    return outcome;
  }

  // Why the login may not add its entry, or "" when it may. A refresh of an entry always may.
  std::string over_limit(const LogonEntry& e, std::string* error) {
    const std::size_t limit = limits.max_entries_per_account;
    bool found = false;
    std::size_t others = 0;
    if (limit == 0 || !db->has_entry(e, &found, error) || found) return "";
    if (!db->count_other_hosts(e, e.last_seen, limit, &others, error) || others < limit) return "";
    return "already has " + std::to_string(others) + " live entries at other hosts, the most one account may hold";
  }

  std::unique_ptr<MapConnection> db;
  const MapLimits limits;
  std::int64_t last_purge = 0;  // epoch second of the last purge

  std::mutex mutex;
  std::condition_variable queued;
  std::vector<Pending> queue;
  bool stopping = false;
  std::thread thread;
};

// The readers: threads for the reads that may walk much of the map, each on a connection of its
// own, and connections lent to callers for lookups by address.
struct UserMap::Readers {
  struct Job {
    MapQuery query;
    std::int64_t now;
    ReadDone done;
  };

  explicit Readers(MapStore& store) : store(store) {}

  void run(MapConnection* db) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      queued.wait(lock, [&] { return stopping || !jobs.empty(); });
      if (jobs.empty()) return;
      Job job = std::move(jobs.front());
      jobs.pop_front();
      lock.unlock();
      job.done(read(db, job.query, job.now));
      lock.lock();
    }
  }

  static MapPage read(MapConnection* db, const MapQuery& query, std::int64_t now) {
    MapPage page;
    page.ok = db->find(query, now, &page.entries, &page.error);
    return page;
  }

  // A connection for the calling thread alone, until it is given back.
  std::unique_ptr<MapConnection> borrow(std::string* error) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!idle.empty()) {
        std::unique_ptr<MapConnection> db = std::move(idle.back());
        idle.pop_back();
        return db;
      }
    }
    return store.connect(error);
  }

  void give_back(std::unique_ptr<MapConnection> db) {
    std::lock_guard<std::mutex> lock(mutex);
    idle.push_back(std::move(db));
  }

  MapStore& store;
  std::vector<std::unique_ptr<MapConnection>> connections;  // the threads'
  std::vector<std::unique_ptr<MapConnection>> idle;         // the lent ones, while not in use
  std::mutex mutex;
  std::condition_variable queued;
  std::deque<Job> jobs;
  bool stopping = false;
  std::vector<std::thread> threads;
};

std::unique_ptr<UserMap> UserMap::open(const std::string& path, const MapLimits& limits, std::string* notice,
                                       std::string* error) {
  std::unique_ptr<MapStore> store = open_sqlite_store(path, notice, error);
  return store ? start(std::move(store), limits, error) : nullptr;
}

std::unique_ptr<UserMap> UserMap::start(std::unique_ptr<MapStore> store, const MapLimits& limits,
                                        std::string* error) {
  std::unique_ptr<MapConnection> writer_db = store->connect(error);
  if (!writer_db) return nullptr;
  auto readers = std::make_unique<Readers>(*store);
  while (readers->connections.size() < kReaders) {
    readers->connections.push_back(store->connect(error));
    if (!readers->connections.back()) return nullptr;
  }
  auto writer = std::make_unique<Writer>(std::move(writer_db), limits);
  Writer* w = writer.get();
  w->thread = std::thread([w] { w->run(); });
  Readers* r = readers.get();
  for (std::size_t i = 0; i < kReaders; ++i) {
    MapConnection* db = r->connections[i].get();
    r->threads.emplace_back([r, db] { r->run(db); });
  }
  return std::unique_ptr<UserMap>(new UserMap(std::move(store), std::move(writer), std::move(readers)));
}

UserMap::UserMap(std::unique_ptr<MapStore> store, std::unique_ptr<Writer> writer, std::unique_ptr<Readers> readers)
    : store_(std::move(store)), writer_(std::move(writer)), readers_(std::move(readers)) {}

UserMap::~UserMap() { stop(); }

void UserMap::submit(MapChange change, ChangeDone done) {
  {
    std::lock_guard<std::mutex> lock(writer_->mutex);
    if (!writer_->stopping) {
      writer_->queue.push_back(Writer::Pending{std::move(change), std::move(done)});
      writer_->queued.notify_one();
      return;
    }
  }
  done(ChangeOutcome{false, false, "", "user map: closed"});
}

void UserMap::read(MapQuery query, std::int64_t now, ReadDone done) {
  MapPage closed;
  closed.error = "user map: closed";
  if (!query.ip.empty()) {
    // A walk along one address's index entries: short enough for the caller's thread, which
    // saves two thread switches per lookup.
    std::unique_ptr<MapConnection> db = readers_->borrow(&closed.error);
    if (!db) return done(std::move(closed));
    MapPage page = Readers::read(db.get(), query, now);
    readers_->give_back(std::move(db));
    return done(std::move(page));
  }
  {
    std::lock_guard<std::mutex> lock(readers_->mutex);
    if (!readers_->stopping) {
      readers_->jobs.push_back(Readers::Job{std::move(query), now, std::move(done)});
      readers_->queued.notify_one();
      return;
    }
  }
  done(std::move(closed));
}

void UserMap::stop() {
  {
    std::lock_guard<std::mutex> lock(writer_->mutex);
    writer_->stopping = true;
    writer_->queued.notify_one();
  }
  {
    std::lock_guard<std::mutex> lock(readers_->mutex);
    readers_->stopping = true;
    readers_->queued.notify_all();
  }
  if (writer_->thread.joinable()) writer_->thread.join();
  for (std::thread& t : readers_->threads) {
    if (t.joinable()) t.join();
  }
}
