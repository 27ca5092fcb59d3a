// The user map: who is logged on at which machine, kept in a store that survives restarts and crashes.
#include "user_map.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

#include "map_checks.h"
#include "sqlite_store.h"

// The one thread that writes, on a connection of its own.
struct UserMap::Writer {
  struct Pending {
    MapChange change;
    ChangeDone done;
  };

  Writer(std::unique_ptr<MapConnection> connection, const MapLimits& limits)
      : db(std::move(connection)), limits(limits) {}

  // Between batches the writer wakes for the samples, and checks after the changes queued before them.
  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      const auto due = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_to_next_sample());
      queued.wait_until(lock, due, [this] { return stopping || !queue.empty() || !checks.empty(); });
      if (stopping && queue.empty() && checks.empty()) return;
      std::vector<Pending> batch;
      batch.swap(queue);
      std::vector<CheckDone> probes;
      probes.swap(checks);
      const CommitObserver observe = observer;
      lock.unlock();
      if (!batch.empty()) commit(batch, observe);
      if (!probes.empty()) check(probes);
      sample_if_due();
      lock.lock();
    }
  }

  // The batch is committed whole or not at all: a change that fails undoes the others, so that
  // no change is half made and every caller hears what happened to its own.
  void commit(std::vector<Pending>& batch, const CommitObserver& observe) {
    const auto started = std::chrono::steady_clock::now();
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
    if (observe) observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i].done(outcomes[i]);
  }

  // One transaction answers every check that waited for it.
  void check(std::vector<CheckDone>& probes) {
    std::string error;
    const bool ok = db->begin(&error) && db->note_check(std::time(nullptr), &error) && db->commit(&error);
    if (!ok) db->rollback();
    for (CheckDone& done : probes) done(ok, error);
  }

  std::int64_t seconds_to_next_sample() const {
    const std::int64_t now = std::time(nullptr);
    return next_sample > now ? next_sample - now : 0;
  }

  // One sample a period, the first at start. A sample that cannot be written leaves a gap in the
  // picture, nothing else; the period's sample may come from another service on the same map.
  void sample_if_due() {
    const std::int64_t now = std::time(nullptr);
    if (now < next_sample) return;
    MapSample sample{now - now % kSamplePeriod, 0};
    next_sample = sample.time + kSamplePeriod;
    std::string ignored;
    if (!db->begin(&ignored)) return;
    if (db->count(MapQuery(), now, &sample.logged_on, &ignored) &&
        db->add_sample(sample, now - kKeepSamples, &ignored) && db->commit(&ignored))
      return;
    db->rollback();
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
    StoredEntry stored;
    if (!db->find_entry(e, &stored, &outcome.error)) return outcome;
    // A refresh of an entry is always allowed: it adds nothing.
    if (!stored.found && !within_limit(e, &outcome.refused, &outcome.error)) {
      outcome.ok = outcome.error.empty();
      return outcome;
    }
    std::int64_t id = stored.id;
    const std::vector<std::string> addresses = lookup_addresses(e.ips, e.peer);
    const bool moved = !stored.found || lookup_addresses(stored.ips, stored.peer) != addresses;
    outcome.ok = (stored.found ? db->update_entry(id, e, &outcome.error) : db->insert_entry(e, &id, &outcome.error)) &&
                 (!moved || db->set_addresses(id, addresses, &outcome.error));
    return outcome;
  }

  // False when the login may not add an entry (`refused` says why) or the count failed (`error`).
  bool within_limit(const LogonEntry& e, std::string* refused, std::string* error) {
    const std::size_t limit = limits.max_entries_per_account;
    std::size_t others = 0;
    if (limit == 0) return true;
    if (!db->count_other_hosts(e, e.last_seen, limit, &others, error)) return false;
    if (others < limit) return true;
    *refused = "already has " + std::to_string(others) + " live entries at other hosts, the most one account may hold";
    return false;
  }

  std::unique_ptr<MapConnection> db;
  const MapLimits limits;
  std::int64_t last_purge = 0;  // epoch second of the last purge
  std::int64_t next_sample = 0;  // epoch second of the next sample

  std::mutex mutex;
  std::condition_variable queued;
  std::vector<Pending> queue;
  std::vector<CheckDone> checks;
  CommitObserver observer;
  bool stopping = false;
  std::thread thread;
};

// A reader thread on a connection of its own, and the reads queued for it.
struct UserMap::Reader {
  using Job = std::function<void(MapConnection&)>;

  explicit Reader(std::unique_ptr<MapConnection> connection) : db(std::move(connection)) {}

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      queued.wait(lock, [&] { return stopping || !jobs.empty(); });
      if (jobs.empty()) return;
      Job job = std::move(jobs.front());
      jobs.pop_front();
      lock.unlock();
      job(*db);
      lock.lock();
    }
  }

  // False once stopping: the read is not queued.
  bool queue(Job job) {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return false;
    jobs.push_back(std::move(job));
    queued.notify_one();
    return true;
  }

  // Answers what is queued, then ends the thread.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
      queued.notify_one();
    }
    if (thread.joinable()) thread.join();
  }

  std::unique_ptr<MapConnection> db;
  std::mutex mutex;
  std::condition_variable queued;
  std::deque<Job> jobs;
  bool stopping = false;
  std::thread thread;
};

namespace {

// The page of `q` and what the status views show with it; false, with page->error, when a read fails.
bool read_view(MapConnection& db, const MapQuery& q, std::int64_t now, const ViewExtras& extras, MapPage* page) {
  std::string* error = &page->error;
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
                                       std::string* error) {
  const std::string problem = map_location_problem(path);
  if (!problem.empty()) {
    *error = "cannot open user map " + path + ": " + problem;
    return nullptr;
  }
  if (!check_map_intact(path, error)) return nullptr;
  std::unique_ptr<MapStore> store = open_sqlite_store(path, notice, error);
  return store ? start(std::move(store), limits, error) : nullptr;
}

std::unique_ptr<UserMap> UserMap::start(std::unique_ptr<MapStore> store, const MapLimits& limits,
                                        std::string* error) {
  std::unique_ptr<MapConnection> writer_db = store->connect(error);
  std::unique_ptr<MapConnection> lookups_db = writer_db ? store->connect(error) : nullptr;
  std::unique_ptr<MapConnection> listings_db = lookups_db ? store->connect(error) : nullptr;
  if (!listings_db) return nullptr;
  auto writer = std::make_unique<Writer>(std::move(writer_db), limits);
  auto lookups = std::make_unique<Reader>(std::move(lookups_db));
  auto listings = std::make_unique<Reader>(std::move(listings_db));
  for (Reader* r : {lookups.get(), listings.get()}) r->thread = std::thread([r] { r->run(); });
  Writer* w = writer.get();
  w->thread = std::thread([w] { w->run(); });
  return std::unique_ptr<UserMap>(
      new UserMap(std::move(store), std::move(writer), std::move(lookups), std::move(listings)));
}

UserMap::UserMap(std::unique_ptr<MapStore> store, std::unique_ptr<Writer> writer, std::unique_ptr<Reader> lookups,
                 std::unique_ptr<Reader> listings)
    : store_(std::move(store)),
      writer_(std::move(writer)),
      lookups_(std::move(lookups)),
      listings_(std::move(listings)) {}

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

void UserMap::read(MapQuery query, std::int64_t now, ReadDone done, ViewExtras extras) {
  // Only a plain lookup by address is sure to be quick: the entries in conflict are found by walking the map.
  const bool lookup = !query.ip.empty() && query.show != MapShow::Conflicts && !extras.totals && !extras.history;
  Reader& reader = lookup ? *lookups_ : *listings_;
  if (reader.queue([query, now, extras, done](MapConnection& db) {
        MapPage page;
        page.ok = read_view(db, query, now, extras, &page);
        done(std::move(page));
      }))
    return;
  MapPage closed;
  closed.error = "user map: closed";
  done(std::move(closed));
}

void UserMap::count_current(std::int64_t now, CountDone done) {
  if (listings_->queue([now, done](MapConnection& db) {
        std::int64_t count = 0;
        std::string error;
        const bool ok = db.count(MapQuery(), now, &count, &error);
        done(ok, count, error);
      }))
    return;
  done(false, 0, "user map: closed");
}

void UserMap::check(CheckDone done) {
  {
    std::lock_guard<std::mutex> lock(writer_->mutex);
    if (!writer_->stopping) {
      writer_->checks.push_back(std::move(done));
      writer_->queued.notify_one();
      return;
    }
  }
  done(false, "user map: closed");
}

void UserMap::observe_commits(CommitObserver observer) {
  std::lock_guard<std::mutex> lock(writer_->mutex);
  writer_->observer = std::move(observer);
}

void UserMap::stop() {
  {
    std::lock_guard<std::mutex> lock(writer_->mutex);
    writer_->stopping = true;
    writer_->queued.notify_one();
  }
  if (writer_->thread.joinable()) writer_->thread.join();
  lookups_->stop();
  listings_->stop();
}
