// The user map: who is logged on at which machine, kept in a store that survives restarts and crashes.
#include "usermap/user_map.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

#include "common/diagnostics.h"
#include "common/job_queue.h"
#include "usermap/map_checks.h"
#include "usermap/postgres_store.h"
#include "usermap/sqlite_store.h"
#include "usermap/store_link.h"

namespace {
// Seconds between purges when no commit brings one.
constexpr std::int64_t kPurgeEvery = 5;
// What the map's failures name: the stores' errors say only why.
const char* const kSubject = "user map";

// How a use of a link failed; `db` null when no connection could be had (its error names the map).
// A lost connection is dropped.
Failure link_failure(StoreLink& link, const MapConnection* db, const std::string& error) {
  if (db == nullptr) return Failure::unavailable(error);
  return link.transient_after_failure() ? Failure::unavailable(error, kSubject) : Failure::internal(error, kSubject);
}

// The answer to what comes after stop().
Failure map_closed() { return Failure::internal("closed", kSubject); }
}  // namespace

// The one thread that writes, on a connection of its own.
struct UserMap::Writer {
  struct Pending {
    MapChange change;
    ChangeDone done;
  };

  Writer(MapStore& store, std::unique_ptr<MapConnection> connection, const MapLimits& limits)
      : link(store, std::move(connection)), limits(limits) {}

  // Between batches the writer wakes for the samples, and checks after the changes queued before them.
  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      const auto due = std::chrono::steady_clock::now() +
                       std::chrono::seconds(std::min(seconds_to_next_sample(), kPurgeEvery));
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
      if (std::time(nullptr) >= last_purge + kPurgeEvery) purge_alone();
      sample_if_due();
      tell_expired();
      lock.lock();
    }
  }

  // Without logins to commit, the entries that ran out are removed on their own.
  void purge_alone() {
    std::string error;
    db = link.get(&error);
    if (db == nullptr || !db->begin(&error)) return report_purge_failure(failed(error));
    purge_if_due();
    const std::vector<CreditChange> credit = batch_credit({});
    if (!db->in_transaction() || !db->commit(&error)) {
      // A failure of the purge itself was told already, and ended the transaction. failed() may
      // drop the connection: the failure is read from it first.
      const Failure failure = db->in_transaction() ? failed(error) : call_failure(error);
      if (!error.empty()) report_purge_failure(failure);
      removed.clear();
      return;
    }
    committed_removed();
    tell_credit(credit);
  }

  // Purges and samples are tried again later, and no caller waits for them: stderr is where
  // their failures are seen.
  static void report_purge_failure(const Failure& failure) {
    report_limited("error: the user map's purge failed",
                   "the user map's expired entries could not be removed (tried again later): " + failure.message());
  }

  // The removals of a commit that failed did not happen; those of one that succeeded are told.
  void committed_removed() {
    expired.insert(expired.end(), removed.begin(), removed.end());
    removed.clear();
  }

  void tell_expired() {
    if (expired.empty()) return;
    ExpiryObserver tell;
    {
      std::lock_guard<std::mutex> lock(mutex);
      tell = expiry_observer;
    }
    if (tell) tell(expired);
    expired.clear();
  }

  // The batch is committed whole or not at all: a change that fails undoes the others, so that
  // no change is half made and every caller hears what happened to its own.
  void commit(std::vector<Pending>& batch, const CommitObserver& observe) {
    const auto started = std::chrono::steady_clock::now();
    std::vector<ChangeOutcome> outcomes(batch.size());
    std::string error;
    std::vector<const LogonEntry*> entries;
    for (const Pending& p : batch) entries.push_back(&p.change.entry);
    db = link.get(&error);
    bool ok = db != nullptr && db->begin(&error) && db->lock_accounts(entries, &error);
    for (std::size_t next = 0; ok && next < batch.size();) {
      std::vector<EntryLookup> run = lookups_from(batch, next);
      ok = db->find_entries_and_credit(&run, &error);
      cut_run(&run);
      db->run_apart(true);
      for (std::size_t i = 0; ok && i < run.size(); ++i, ++next)
        ok = apply(batch[next].change, run[i], &outcomes[next], &error);
      db->run_apart(false);
    }
    // Then the purge: it may touch any account's entries, and must not hold them while it waits for
    // another service. A failure of the changes is theirs, not the purge's: when a purge is due,
    // their answers are awaited first. Otherwise they come with the commit's.
    if (ok && purge_due()) {
      ok = db->sent(&error);
      if (ok) purge_if_due();
    }
    if (ok && !db->in_transaction()) {
      ok = false;
      error = "the transaction was rolled back";
    }
    if (ok) ok = db->commit(&error);
    if (ok) {
      finish_changes();
      committed_removed();
      // Every change of who is credited where that this transaction made, in order (the history
      // has them already, written with each change).
      tell_credit(batch_credit(outcomes));
    }
    unfinished.clear();
    removed.clear();
    purged_credit.clear();
    if (!ok) {
      const Failure failure = failed(error);
      for (ChangeOutcome& outcome : outcomes) {
        outcome = ChangeOutcome();
        outcome.failure = failure;
      }
    }
    if (observe) observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i].done(outcomes[i]);
  }

  // The credit changes of the batch's changes, then those of its purge.
  std::vector<CreditChange> batch_credit(const std::vector<ChangeOutcome>& outcomes) {
    std::vector<CreditChange> changes;
    for (const ChangeOutcome& outcome : outcomes) changes.insert(changes.end(), outcome.credit.begin(), outcome.credit.end());
    changes.insert(changes.end(), purged_credit.begin(), purged_credit.end());
    purged_credit.clear();
    return changes;
  }

  void tell_credit(const std::vector<CreditChange>& changes) {
    CreditObserver tell;
    {
      std::lock_guard<std::mutex> lock(mutex);
      tell = credit_observer;
    }
    if (tell && !changes.empty()) tell(changes);
  }

  // One transaction answers every check that waited for it.
  void check(std::vector<CheckDone>& probes) {
    std::string error;
    db = link.get(&error);
    const bool ok = db != nullptr && db->begin(&error) && db->note_check(std::time(nullptr), &error) &&
                    db->commit(&error);
    const Failure failure = ok ? Failure() : failed(error);
    for (CheckDone& done : probes) done(failure);
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
    std::string error;
    db = link.get(&error);
    if (db != nullptr && db->begin(&error) && db->count(MapQuery(), now, &sample.logged_on, &error) &&
        db->add_sample(sample, now - kKeepSamples, &error) && db->commit(&error))
      return;
    report_limited("error: the user map's sample failed",
                   "the user map's count of logged-on users for its history chart was not kept: " +
                       failed(error).message());
  }

  // A failed call of the connection in hand, in a transaction that goes on.
  Failure call_failure(const std::string& error) const {
    return db->last_failure().transient() ? Failure::unavailable(error, kSubject) : Failure::internal(error, kSubject);
  }

  // After a failed transaction (db null: no connection could be had): undone, and a lost
  // connection dropped. Says how it failed.
  Failure failed(const std::string& error) {
    if (db != nullptr) db->rollback();
    return link_failure(link, db, error);
  }

  // The purge runs at most once a second.
  bool purge_due() const { return std::time(nullptr) > last_purge; }

  // A failed purge is tried again with the next commit; it must not cost the logins. The entries
  // that ran out are recorded as expired when they did, and the history older than its days is
  // forgotten, at the same pace.
  void purge_if_due() {
    if (!purge_due()) return;
    const std::int64_t now = std::time(nullptr);
    std::string error;
    const std::size_t before = removed.size();
    std::vector<CreditedAddress> ending;
    std::vector<CreditChange> credit;
    if (db->expiring_credit(now, &ending, &error) && db->purge(now, &removed, &error) &&
        record_expired(before, &error) && purged_credit_changes(ending, before, now, &credit, &error) &&
        record_credit_changes(credit, &error) && db->prune_events(now - limits.history_days * 86400, &error)) {
      last_purge = now;
      purged_credit.insert(purged_credit.end(), credit.begin(), credit.end());
      return;
    }
    removed.resize(before);
    report_purge_failure(call_failure(error));
  }

  bool record_expired(std::size_t from, std::string* error) {
    std::vector<LogonEvent> events;
    for (std::size_t i = from; i < removed.size(); ++i) {
      const LogonEntry& e = removed[i];
      const std::vector<LogonEvent> ended =
          entry_events(kEventExpired, EntryNames{e.user, e.domain, e.host}, lookup_addresses(e.ips, e.peer), e.expires);
      events.insert(events.end(), ended.begin(), ended.end());
    }
    return db->record_events(events, error);
  }

  // Who an address is credited to changed (see CreditChange), in the transaction under way.
  bool record_credit_changes(const std::vector<CreditChange>& changes, std::string* error) {
    return db->record_events(credit_events(changes), error);
  }

  // The credit the purge took: from the entries it removed (removed[first...]), at each address
  // they were credited at, dated when the last of them there ran out, as their expiries are;
  // those still live there keep theirs.
  bool purged_credit_changes(const std::vector<CreditedAddress>& ending, std::size_t first, std::int64_t now,
                             std::vector<CreditChange>* out, std::string* error) {
    std::vector<CreditChange> changes;
    for (const CreditedAddress& c : ending) {
      const auto purged = std::find_if(removed.begin() + static_cast<std::ptrdiff_t>(first), removed.end(),
                                       [&c](const LogonEntry& e) {
                                         return e.user == c.holder.user && e.domain == c.holder.domain &&
                                                e.host == c.holder.host;
                                       });
      if (purged == removed.end()) continue;  // left to a later purge (another service holds it)
      auto at = std::find_if(changes.begin(), changes.end(), [&c](const CreditChange& x) { return x.address == c.address; });
      if (at == changes.end()) at = changes.insert(changes.end(), CreditChange{c.address, {}, {}, 0});
      at->before.push_back(c.holder);
      at->at = std::max(at->at, purged->expires);
    }
    for (CreditChange& c : changes) {
      if (!db->credited_at(c.address, now, &c.after, error)) return false;
      std::sort(c.after.begin(), c.after.end());
      c.before.insert(c.before.end(), c.after.begin(), c.after.end());
      std::sort(c.before.begin(), c.before.end());
      out->push_back(std::move(c));
    }
    return true;
  }

  // A change reads who is credited at the addresses a login has and proves with its lookup,
  // before it changes anything. The lookups of changes that do not touch each other's entry or
  // addresses are read together: the changes from `first` on, up to one with the names of an
  // earlier one or one of the addresses of an earlier one.
  static std::vector<EntryLookup> lookups_from(const std::vector<Pending>& batch, std::size_t first) {
    std::vector<EntryLookup> run;
    std::vector<std::string> names;
    std::vector<std::string> taken;
    for (std::size_t i = first; i < batch.size(); ++i) {
      const MapChange& change = batch[i].change;
      EntryLookup l;
      l.entry = &change.entry;
      if (change.kind == MapChange::Kind::Login) {
        l.addresses = lookup_addresses(change.entry.ips, change.entry.peer);
        add_once(&l.addresses, change.entry.peer);
      }
      const std::string folded = folded_names(change.entry);
      if (!run.empty() && (contains(names, folded) || shares(taken, l.addresses))) break;
      names.push_back(folded);
      taken.insert(taken.end(), l.addresses.begin(), l.addresses.end());
      run.push_back(std::move(l));
    }
    return run;
  }

  // The lookups read together that hold for their changes: up to the first whose entry is found
  // at an address that an earlier one has or had. The ones after it are read again.
  static void cut_run(std::vector<EntryLookup>* run) {
    std::vector<std::string> taken;
    for (std::size_t i = 0; i < run->size(); ++i) {
      const EntryLookup& l = (*run)[i];
      std::vector<std::string> touched = l.addresses;
      if (l.stored.found) {
        for (const std::string& address : lookup_addresses(l.stored.ips, l.stored.peer)) add_once(&touched, address);
      }
      if (i > 0 && shares(taken, touched)) return run->resize(i);
      taken.insert(taken.end(), touched.begin(), touched.end());
    }
  }

  static bool shares(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    for (const std::string& item : b) {
      if (contains(a, item)) return true;
    }
    return false;
  }

  // The change's events are recorded with it; who is credited after it may be known only once the
  // transaction is committed, and the rest of its outcome waits for that (finish_changes()). False,
  // with the store's error, when the change failed; a login the limits refuse is not a failure.
  bool apply(const MapChange& change, const EntryLookup& lookup, ChangeOutcome* outcome, std::string* error) {
    const LogonEntry& e = change.entry;
    std::vector<CreditChange> known;
    for (std::size_t i = 0; i < lookup.addresses.size(); ++i)
      known.push_back(CreditChange{lookup.addresses[i], lookup.credited[i], {}, e.last_seen});
    building = Unfinished{outcome, {}};
    const bool ok = change.kind == MapChange::Kind::Logout ? logout(e, lookup.stored, outcome, error)
                                                           : login(e, lookup.stored, known, outcome, error);
    if (ok) unfinished.push_back(std::move(building));
    building = Unfinished();
    return ok;
  }

  // A change whose credit after it is still being read, with a login's addresses and their credit.
  struct Unfinished {
    ChangeOutcome* outcome = nullptr;
    std::vector<AddressCredit> rows;
  };

  // Once the answers are in: each login's addresses without credit, then only the addresses where
  // who is credited has changed.
  void finish_changes() {
    for (Unfinished& u : unfinished) {
      ChangeOutcome* outcome = u.outcome;
      for (CreditChange& c : outcome->credit) std::sort(c.after.begin(), c.after.end());
      note_uncredited(u.rows, outcome);
      keep_changes(&outcome->credit);
    }
    unfinished.clear();
  }

  bool logout(const LogonEntry& e, const StoredEntry& stored, ChangeOutcome* outcome, std::string* error) {
    const std::vector<std::string> before =
        stored.found ? lookup_addresses(stored.ips, stored.peer) : std::vector<std::string>();
    if (!read_credit(before, e.last_seen, &outcome->credit, error) || !db->remove(e, &outcome->removed, error))
      return false;
    const std::vector<LogonEvent> events =
        outcome->removed ? entry_events(kEventLogout, stored.names, before, e.last_seen) : std::vector<LogonEvent>();
    return db->record_change(events, &outcome->credit, error);
  }

  // Who is credited is read before and after, at every address the entry had, has, or proves.
  bool login(const LogonEntry& e, const StoredEntry& stored, const std::vector<CreditChange>& known,
             ChangeOutcome* outcome, std::string* error) {
    // A refresh of an entry is always allowed: it adds nothing.
    if (!stored.found) {
      std::string refused;
      if (!within_limit(e, &refused, error)) return false;
      if (!refused.empty()) {
        outcome->failure = Failure::refused(refused);
        return true;
      }
    }
    std::int64_t id = stored.id;
    const std::vector<std::string> addresses = lookup_addresses(e.ips, e.peer);
    std::vector<std::string> watched =
        stored.found ? lookup_addresses(stored.ips, stored.peer) : std::vector<std::string>();
    const bool moved = !stored.found || watched != addresses;
    for (const std::string& address : addresses) add_once(&watched, address);
    add_once(&watched, e.peer);
    std::vector<AddressCredit> rows;
    const bool ok = read_credit(watched, e.last_seen, &outcome->credit, error, known) &&
                    (stored.found ? db->update_entry(id, e, error) : db->insert_entry(e, &id, error)) &&
                    decide_credit(e, stored, addresses, &rows, error) &&
                    (rows == stored_rows(stored) || db->set_addresses(id, rows, error)) &&
                    withdraw_outranked(id, e, addresses, error);
    building.rows = rows;
    return ok && db->record_change(moved ? arrival(e, stored, addresses) : std::vector<LogonEvent>(), &outcome->credit,
                                   error);
  }

  // A new entry logs in at its addresses; one found elsewhere than before moves to its new set.
  static std::vector<LogonEvent> arrival(const LogonEntry& e, const StoredEntry& stored,
                                         const std::vector<std::string>& addresses) {
    const EntryNames names = stored.found ? stored.names : EntryNames{e.user, e.domain, e.host};
    return entry_events(stored.found ? kEventMoved : kEventLogin, names, addresses, e.last_seen);
  }

  // The login's addresses without credit, and those of them another live entry is credited at.
  static void note_uncredited(const std::vector<AddressCredit>& rows, ChangeOutcome* outcome) {
    for (const AddressCredit& row : rows) {
      if (row.credited) continue;
      outcome->uncredited.push_back(row.address);
      for (const CreditChange& c : outcome->credit) {
        if (c.address == row.address && !c.after.empty()) outcome->disputed.push_back(row.address);
      }
    }
  }

  static void add_once(std::vector<std::string>* list, const std::string& item) {
    if (std::find(list->begin(), list->end(), item) == list->end()) list->push_back(item);
  }

  static bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
  }

  static std::vector<AddressCredit> stored_rows(const StoredEntry& stored) {
    std::vector<AddressCredit> rows;
    if (!stored.found) return rows;
    for (const std::string& address : lookup_addresses(stored.ips, stored.peer))
      rows.push_back(AddressCredit{address, contains(stored.credited, address)});
    return rows;
  }

  // The address rule, decided as the entry is written. An entry is credited at what it proves (the
  // address it comes from; every address it reports through a trusted relay). A mere claim is
  // credited only inside the networks of credit_claims, and only when no other live entry proves
  // the address as the claim arrives: a claim that was refused stays refused while the entry keeps
  // reporting it, whoever proves the address later or has stopped proving it.
  bool decide_credit(const LogonEntry& e, const StoredEntry& stored, const std::vector<std::string>& addresses,
                     std::vector<AddressCredit>* rows, std::string* error) {
    const std::vector<std::string> kept = stored.found ? lookup_addresses(stored.ips, stored.peer)
                                                       : std::vector<std::string>();
    for (const std::string& address : addresses) {
      bool credited = e.relayed || address == e.peer;
      if (!credited && limits.credit_claims.contains(address) &&
          (!contains(kept, address) || contains(stored.credited, address))) {
        bool proven = false;
        if (!db->proven(address, e.last_seen, &proven, error)) return false;
        credited = !proven;
      }
      rows->push_back(AddressCredit{address, credited});
    }
    return true;
  }

  // What the entry proves, no other entry is credited with by a mere claim any longer.
  bool withdraw_outranked(std::int64_t id, const LogonEntry& e, const std::vector<std::string>& addresses,
                          std::string* error) {
    for (const std::string& address : e.relayed ? addresses : std::vector<std::string>{e.peer}) {
      if (!db->withdraw_claims(address, id, error)) return false;
    }
    return true;
  }

  // Who is credited at each of `addresses` at `now`, before a change: read, or `known` already.
  bool read_credit(const std::vector<std::string>& addresses, std::int64_t now, std::vector<CreditChange>* out,
                   std::string* error, const std::vector<CreditChange>& known = {}) {
    for (const std::string& address : addresses) {
      CreditChange c{address, {}, {}, now};
      const auto read = std::find_if(known.begin(), known.end(),
                                     [&address](const CreditChange& k) { return k.address == address; });
      if (read != known.end()) c.before = read->before;
      else if (!db->credited_at(address, now, &c.before, error)) return false;
      std::sort(c.before.begin(), c.before.end());
      out->push_back(std::move(c));
    }
    return true;
  }

  // Only the addresses where who is credited has changed.
  static void keep_changes(std::vector<CreditChange>* changes) {
    changes->erase(std::remove_if(changes->begin(), changes->end(),
                                  [](const CreditChange& c) { return c.before == c.after; }),
                   changes->end());
  }

  // False when the count failed (`error`); `refused` says why when the login may not add an entry.
  bool within_limit(const LogonEntry& e, std::string* refused, std::string* error) {
    const std::size_t limit = limits.max_entries_per_account;
    std::size_t others = 0;
    if (limit == 0) return true;
    if (!db->count_other_hosts(e, e.last_seen, limit, &others, error)) return false;
    if (others >= limit)
      *refused = "already has " + std::to_string(others) + " live entries at other hosts, the most one account may hold";
    return true;
  }

  StoreLink link;
  MapConnection* db = nullptr;  // the link's connection during a commit
  const MapLimits limits;
  std::int64_t last_purge = 0;  // epoch second of the last purge
  std::vector<LogonEntry> removed;  // by the purge of the transaction under way
  std::vector<LogonEntry> expired;  // removed by committed transactions, not told yet
  std::vector<CreditChange> purged_credit;  // taken by the purge of the transaction under way
  std::vector<Unfinished> unfinished;  // changes of the transaction under way, in order
  Unfinished building;                 // the change being applied
  ExpiryObserver expiry_observer;
  CreditObserver credit_observer;
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
                                       std::string* error) {
  if (is_postgres_uri(path)) {
    std::unique_ptr<MapStore> store = open_postgres_store(path, notice, error);
    return store ? start(std::move(store), limits, error) : nullptr;
  }
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
  auto writer = std::make_unique<Writer>(*store, std::move(writer_db), limits);
  auto lookups = std::make_unique<Reader>(*store, std::move(lookups_db));
  auto listings = std::make_unique<Reader>(*store, std::move(listings_db));
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
  ChangeOutcome closed;
  closed.failure = map_closed();
  done(closed);
}

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

void UserMap::count_current(std::int64_t now, CountDone done) {
  if (listings_->queue([now, done](StoreLink& link) {
        std::int64_t count = 0;
        std::string error;
        MapConnection* db = link.get(&error);
        if (db != nullptr && db->count(MapQuery(), now, &count, &error)) return done(count, Failure());
        done(0, link_failure(link, db, error));
      }))
    return;
  done(0, map_closed());
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
  done(map_closed());
}

void UserMap::observe_commits(CommitObserver observer) {
  std::lock_guard<std::mutex> lock(writer_->mutex);
  writer_->observer = std::move(observer);
}

void UserMap::observe_expiries(ExpiryObserver observer) {
  std::lock_guard<std::mutex> lock(writer_->mutex);
  writer_->expiry_observer = std::move(observer);
}

void UserMap::observe_credit(CreditObserver observer) {
  std::lock_guard<std::mutex> lock(writer_->mutex);
  writer_->credit_observer = std::move(observer);
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
