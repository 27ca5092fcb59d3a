// The user map's one writing thread: its queue of changes and checks, and the group commit that answers them.
#include "usermap/map_writer.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <utility>

#include "usermap/change_batches.h"
#include "usermap/map_failure.h"

namespace {

// The credit changes of the batch's changes, then those of its purge.
std::vector<CreditChange> batch_credit(const std::vector<ChangeOutcome>& outcomes,
                                       const std::vector<CreditChange>& purged) {
  std::vector<CreditChange> changes;
  for (const ChangeOutcome& outcome : outcomes) changes.insert(changes.end(), outcome.credit.begin(), outcome.credit.end());
  changes.insert(changes.end(), purged.begin(), purged.end());
  return changes;
}

// Nothing of a batch that failed was committed: every change is told so.
void fail_all(std::vector<ChangeOutcome>* outcomes, const Failure& failure) {
  for (ChangeOutcome& outcome : *outcomes) {
    outcome = ChangeOutcome();
    outcome.failure = failure;
  }
}

}  // namespace

MapWriter::MapWriter(MapStore& store, std::unique_ptr<MapConnection> connection, const MapLimits& limits)
    : link_(store, std::move(connection)), limits_(limits) {}

void MapWriter::start() {
  thread_ = std::thread([this] { run(); });
}

void MapWriter::submit(MapChange change, UserMap::ChangeDone done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      queue_.push_back(Pending{std::move(change), std::move(done)});
      queued_.notify_one();
      return;
    }
  }
  ChangeOutcome closed;
  closed.failure = map_closed();
  done(closed);
}

void MapWriter::check(UserMap::CheckDone done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      checks_.push_back(std::move(done));
      queued_.notify_one();
      return;
    }
  }
  done(map_closed());
}

void MapWriter::observe_commits(UserMap::CommitObserver observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  commit_observer_ = std::move(observer);
}

void MapWriter::observe_expiries(UserMap::ExpiryObserver observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  expiry_observer_ = std::move(observer);
}

void MapWriter::observe_credit(UserMap::CreditObserver observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  credit_observer_ = std::move(observer);
}

void MapWriter::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queued_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
}

// Between batches the writer wakes for the samples and the purges, and checks after the changes
// queued before them. The entries that ran out are told once every commit of the round is done.
void MapWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const std::int64_t wait = std::min(samples_.seconds_to_next(std::time(nullptr)), PurgeSchedule::kAloneEvery);
    queued_.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::seconds(wait),
                       [this] { return stopping_ || !queue_.empty() || !checks_.empty(); });
    if (stopping_ && queue_.empty() && checks_.empty()) return;
    std::vector<Pending> batch;
    batch.swap(queue_);
    std::vector<UserMap::CheckDone> probes;
    probes.swap(checks_);
    const UserMap::CommitObserver observe = commit_observer_;
    lock.unlock();
    std::vector<LogonEntry> expired;
    if (!batch.empty()) expired = commit(batch, observe);
    if (!probes.empty()) answer_checks(probes);
    if (purges_.due_alone(std::time(nullptr))) {
      const std::vector<LogonEntry> purged = purge_alone();
      expired.insert(expired.end(), purged.begin(), purged.end());
    }
    sample_if_due();
    tell_expired(expired);
    lock.lock();
  }
}

// The batch is committed whole or not at all: a change that fails undoes the others, so that no
// change is half made and every caller hears what happened to its own. Returns the entries its
// purge removed, once they are committed.
std::vector<LogonEntry> MapWriter::commit(std::vector<Pending>& batch, const UserMap::CommitObserver& observe) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<ChangeOutcome> outcomes(batch.size());
  std::vector<AppliedChange> applied;
  Purged purged;
  std::string error;
  MapConnection* db = link_.get(&error);
  if (db != nullptr && write_batch(*db, batch, &outcomes, &applied, &purged, &error) && db->commit(&error)) {
    for (const AppliedChange& change : applied) finish_change(change);
    // Every change of who is credited where that this transaction made, in order (the history
    // has them already, written with each change).
    tell_credit(batch_credit(outcomes, purged.credit));
  } else {
    fail_all(&outcomes, transaction_failure(link_, db, error));
    purged.removed.clear();
    moves_.forget();
  }
  if (observe) observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  for (std::size_t i = 0; i < batch.size(); ++i) batch[i].done(outcomes[i]);
  return std::move(purged.removed);
}

// The batch's transaction up to its commit: false, with the store's error, when any of it failed.
bool MapWriter::write_batch(MapConnection& db, const std::vector<Pending>& batch,
                            std::vector<ChangeOutcome>* outcomes, std::vector<AppliedChange>* applied, Purged* purged,
                            std::string* error) {
  std::vector<const MapChange*> changes;
  std::vector<const LogonEntry*> entries;
  for (const Pending& p : batch) {
    changes.push_back(&p.change);
    entries.push_back(&p.change.entry);
  }
  if (!db.begin(error) || !db.lock_accounts(entries, error) ||
      !apply_batch(db, limits_, moves_, changes, outcomes, applied, error))
    return false;
  // Then the purge: it may touch any account's entries, and must not hold them while it waits for
  // another service. A failure of the changes is theirs, not the purge's: when a purge is due,
  // their answers are awaited first. Otherwise they come with the commit's.
  if (purges_.due_with_commit(std::time(nullptr))) {
    if (!db.sent(error)) return false;
    *purged = purge_if_due(db);
  }
  if (db.in_transaction()) return true;
  *error = "the transaction was rolled back";
  return false;
}

// One transaction answers every check that waited for it.
void MapWriter::answer_checks(std::vector<UserMap::CheckDone>& probes) {
  std::string error;
  MapConnection* db = link_.get(&error);
  const bool ok =
      db != nullptr && db->begin(&error) && db->note_check(std::time(nullptr), &error) && db->commit(&error);
  const Failure failure = ok ? Failure() : transaction_failure(link_, db, error);
  for (UserMap::CheckDone& done : probes) done(failure);
}

// Without logins to commit, the entries that ran out are removed on their own. Returns those it
// removed, once they are committed.
std::vector<LogonEntry> MapWriter::purge_alone() {
  std::string error;
  MapConnection* db = link_.get(&error);
  if (db == nullptr || !db->begin(&error)) {
    report_purge_failure(transaction_failure(link_, db, error));
    return {};
  }
  Purged purged = purge_if_due(*db);
  if (!db->in_transaction() || !db->commit(&error)) {
    // A failure of the purge itself was told already, and ended the transaction. A failed
    // transaction may drop the connection: the failure is read from it first.
    const Failure failure = db->in_transaction() ? transaction_failure(link_, db, error) : call_failure(*db, error);
    if (!error.empty()) report_purge_failure(failure);
    return {};
  }
  tell_credit(purged.credit);
  return std::move(purged.removed);
}

// A failed purge is tried again with the next commit; it must not cost the logins. What it did is
// told only with a purge that succeeded whole.
Purged MapWriter::purge_if_due(MapConnection& db) {
  const std::int64_t now = std::time(nullptr);
  if (!purges_.due_with_commit(now)) return Purged();
  Purged purged;
  std::string error;
  if (purge_expired(db, now, limits_.history_days, &purged, &error)) {
    purges_.purged(now);
    return purged;
  }
  report_purge_failure(call_failure(db, error));
  return Purged();
}

// The period's sample may come from another service on the same map.
void MapWriter::sample_if_due() {
  const std::int64_t now = std::time(nullptr);
  if (!samples_.due(now)) return;
  const MapSample sample = samples_.take(now);
  std::string error;
  MapConnection* db = link_.get(&error);
  if (db != nullptr && record_sample(*db, now, sample, &error)) return;
  report_sample_failure(transaction_failure(link_, db, error));
}

void MapWriter::tell_expired(const std::vector<LogonEntry>& expired) {
  if (expired.empty()) return;
  UserMap::ExpiryObserver tell;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tell = expiry_observer_;
  }
  if (tell) tell(expired);
}

void MapWriter::tell_credit(const std::vector<CreditChange>& changes) {
  UserMap::CreditObserver tell;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tell = credit_observer_;
  }
  if (tell && !changes.empty()) tell(changes);
}
