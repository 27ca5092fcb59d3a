// The user map's PostgreSQL store: one database that several services share, each commit synchronous.
#include "usermap/postgres_store.h"

#include <algorithm>
#include <map>

#include "usermap/pg_client.h"
#include "usermap/pg_dialect.h"
#include "usermap/pg_held.h"
#include "usermap/pg_rows.h"
#include "usermap/pg_schema.h"
#include "usermap/sql/entry_row.h"
#include "usermap/sql/feed_sql.h"
#include "usermap/sql/history_sql.h"

namespace {

const MapStatements kSql(pg_dialect());

// Set in each transaction, where the writer's statements run many times a second: each of them is
// planned once, on its first use, and that plan serves the connection's life, for the planning
// would cost more than the statement. Such a plan is made without the values; one made while the
// map was small would go on reading whole tables, or whole indexes, as the map grows. Every
// statement of the map finds its rows through an index, one row or a few at a time, so the plans
// are held to that: index probes joined by nested loops.
constexpr const char* kTransactionSettings =
    "SELECT set_config('plan_cache_mode', 'force_generic_plan', true), set_config('enable_seqscan', 'off', true),"
    " set_config('enable_hashjoin', 'off', true), set_config('enable_mergejoin', 'off', true)";

std::vector<std::string> names_of(const LogonEntry& e) { return {e.user, e.domain, e.host}; }

// The map on one connection to the database (see PgClient), used by one thread at a time. The
// writer's changes of a run of logins apart from each other are held (HeldChanges) and sent
// together before the next statement.
class PgConnection : public MapConnection {
 public:
  explicit PgConnection(PGconn* conn) : client_(conn) {}

  bool start(std::string* error) { return client_.start(error); }
  PgClient& client() { return client_; }

  bool begin(std::string* error) override {
    if (client_.pipelined()) end_transaction();  // one that a failure left open
    // A connection's plans are made when each statement is first used, and again when the server
    // takes new statistics of the map. Made while the map holds a few rows, where a probe of an
    // index costs as much as reading all of it, a plan may read a whole index at every commit from
    // then on, however the map grows, until statistics happen to be taken again. So they are
    // made anew each time the keys taken have doubled: every lookup takes one, so the keys grow at
    // least as fast as the map, and the plans are made a few times over the map's life.
    const bool replan = newest_key_ > 2 * planned_at_key_ + 100;
    if (replan) planned_at_key_ = newest_key_;
    return client_.begin(error) && client_.change(kTransactionSettings, {}, error) &&
           (!replan || client_.change("DISCARD PLANS", {}, error));
  }

  bool commit(std::string* error) override {
    const bool ok = flushed(error) && client_.commit(error);
    end_transaction();
    return ok;
  }

  void rollback() override {
    held_ = HeldChanges();
    apart_ = false;
    client_.rollback();
    reserved_.clear();
  }

  bool in_transaction() override { return client_.in_transaction(!held_.empty()); }
  bool sent(std::string* error) override { return !client_.pipelined() || (flushed(error) && client_.settle(error)); }
  bool open() override { return client_.open(); }
  Failure last_failure() const override { return client_.last_failure(); }

  bool lock_accounts(const std::vector<const LogonEntry*>& entries, std::string* error) override {
    std::vector<std::string> users;
    std::vector<std::string> domains;
    std::vector<std::string> addresses;
    for (const LogonEntry* e : entries) {
      users.push_back(e->user);
      domains.push_back(e->domain);
      for (const std::string& address : lookup_addresses(e->ips, e->peer)) addresses.push_back(address);
      addresses.push_back(e->peer);
    }
    return change(kLockAccounts, {text_array(users), text_array(domains)}, error) &&
           change(kLockAddresses, {text_array(addresses)}, error);
  }

  bool find_entry(const LogonEntry& e, StoredEntry* out, std::string* error) override {
    *out = StoredEntry();
    return run(find_entries_sql(), {text_array({e.user}), text_array({e.domain}), text_array({e.host})},
               [out](const PGresult* r, int i) { *out = stored_entry_at(r, i, 1); }, error);
  }

  // In a transaction, in one round trip of three statements, with a key for each entry not found,
  // which its insert takes (a key not used leaves a gap).
  bool find_entries_and_credit(std::vector<EntryLookup>* lookups, std::string* error) override {
    reserved_.clear();
    if (!client_.pipelined()) return MapConnection::find_entries_and_credit(lookups, error);
    std::vector<std::int64_t> keys;
    if (!key_statement(error) || !flushed(error) || !read_lookups(lookups, &keys, error)) return false;
    for (std::size_t n = 0; n < lookups->size() && n < keys.size(); ++n) {
      if (!(*lookups)[n].stored.found) reserved_[folded_names(*(*lookups)[n].entry)] = keys[n];
      newest_key_ = std::max(newest_key_, keys[n]);
    }
    return true;
  }

  void run_apart(bool apart) override { apart_ = apart; }

  bool count_other_hosts(const LogonEntry& e, std::int64_t now, std::size_t limit, std::size_t* count,
                         std::string* error) override {
    *count = 0;
    return run(kSql.count_other_hosts, {e.user, e.domain, e.host, std::to_string(now), std::to_string(limit)},
               [count](const PGresult* r, int i) { *count = static_cast<std::size_t>(number_at(r, i, 0)); }, error);
  }

  bool insert_entry(const LogonEntry& e, std::int64_t* id, std::string* error) override {
    const auto taken = reserved_.find(folded_names(e));
    if (taken == reserved_.end() || !client_.pipelined()) {
      return run(kSql.insert_entry, column_texts({}, entry_columns(), e),
                 [id](const PGresult* r, int i) { *id = number_at(r, i, 0); }, error);
    }
    *id = taken->second;
    reserved_.erase(taken);
    held_.hold_insert(*id, e);
    return sent_unless_apart(error);
  }

  bool update_entry(std::int64_t id, const LogonEntry& e, std::string* error) override {
    if (held_.holds_update(id) && !send_held(error)) return false;
    held_.hold_update(id, e);
    return sent_unless_apart(error);
  }

  bool set_addresses(std::int64_t id, const std::vector<AddressCredit>& addresses, std::string* error) override {
    if (held_.holds_addresses(id) && !send_held(error)) return false;
    held_.hold_addresses(id, addresses);
    return sent_unless_apart(error);
  }

  bool remove(const LogonEntry& e, bool* removed, std::string* error) override {
    long changed = 0;
    const bool ok = run(kSql.remove, names_of(e), {}, error, &changed);
    *removed = changed > 0;
    return ok;
  }

  bool proven(const std::string& address, std::int64_t now, bool* out, std::string* error) override {
    *out = false;
    return run(kSql.proven, {address, std::to_string(now)},
               [out](const PGresult* r, int i) { *out = text_at(r, i, 0) == "t"; }, error);
  }

  bool withdraw_claims(const std::string& address, std::int64_t id, std::string* error) override {
    if (held_.holds_withdrawal(address) && !send_held(error)) return false;
    held_.hold_withdrawal(address, id);
    return sent_unless_apart(error);
  }

  bool credited_at(const std::string& address, std::int64_t now, std::vector<CreditHolder>* out,
                   std::string* error) override {
    out->clear();
    return run(kSql.credited_at, {address, std::to_string(now)}, holder_reader(out), error);
  }

  // In a transaction, the credit events are decided by the statement that adds the events, which
  // answers who is credited after the change: the events wait for no answer.
  bool record_change(const std::vector<LogonEvent>& events, std::vector<CreditChange>* credit,
                     std::string* error) override {
    if (!client_.pipelined()) return MapConnection::record_change(events, credit, error);
    held_.hold_events(events);
    held_.hold_credit_changes(credit);
    return sent_unless_apart(error);
  }

  bool expiring_credit(std::int64_t now, std::vector<CreditedAddress>* out, std::string* error) override {
    out->clear();
    return run(kSql.expiring_credit, {std::to_string(now)}, [out](const PGresult* r, int i) {
      out->push_back(CreditedAddress{text_at(r, i, 0), CreditHolder{text_at(r, i, 1), text_at(r, i, 2), text_at(r, i, 3)}});
    }, error);
  }

  // In a savepoint of its own: a purge that fails leaves the logins of the transaction standing.
  bool purge(std::int64_t now, std::vector<LogonEntry>* expired, std::string* error) override {
    const std::size_t before = expired->size();
    const auto row = [expired](const PGresult* r, int i) { expired->push_back(purged_entry(ResultRow(r, i))); };
    const auto step = [&] { return run(kSql.purge, {std::to_string(now)}, row, error); };
    if (flushed(error) && client_.in_savepoint(step, error)) return true;
    expired->resize(before);
    return false;
  }

  bool add_sample(const MapSample& sample, std::int64_t keep_since, std::string* error) override {
    return change(kSql.add_sample, {std::to_string(sample.time), std::to_string(sample.logged_on)}, error) &&
           change(kSql.forget_samples, {std::to_string(keep_since)}, error);
  }

  // Events are kept in the order they come, and touch nothing else: in a transaction they wait for
  // the next statement.
  bool record_events(const std::vector<LogonEvent>& events, std::string* error) override {
    held_.hold_events(events);
    return client_.pipelined() || send_held(error);
  }

  // Likewise in a savepoint: events another service is pruning are passed, and a prune that fails costs nothing else.
  bool prune_events(std::int64_t before, std::string* error) override {
    return flushed(error) &&
           client_.in_savepoint([&] { return run(kSql.prune_events, {std::to_string(before)}, {}, error); }, error);
  }

  bool history(const HistoryQuery& q, std::vector<LogonEvent>* out, std::string* error) override {
    return read_events(history_statement(pg_dialect(), q), out, error);
  }

  bool holders(const HolderQuery& q, std::vector<LogonEvent>* out, std::string* error) override {
    return read_events(holders_statement(pg_dialect(), q), out, error, holder_from_row);
  }

  bool feed_snapshot(std::int64_t now, FeedRead* out, std::string* error) override {
    *out = FeedRead();
    out->position.since = now;
    return feed_head(out, error) &&
           run(feed_snapshot_sql(pg_dialect()), {std::to_string(now)},
               [out](const PGresult* r, int i) { out->items.push_back(feed_item_from_row(ResultRow(r, i), "")); }, error);
  }

  // Services commit in another order than they take the events' numbers, so changes are read by
  // the transactions that wrote them: those from the position's up to the oldest one still running,
  // all of which have ended. A refresh writes its entry's row anew, in its transaction, which the
  // row carries; the time it was last seen only narrows the search, by far more than any clock differs.
  bool feed_since(const FeedPosition& after, std::int64_t now, FeedRead* out, std::string* error) override {
    *out = FeedRead();
    out->position.since = now;
    if (!feed_head(out, error)) return false;
    const std::int64_t until = out->position.mark;
    out->lost = until < after.mark;  // from another map in the same cluster
    if (out->lost || until == after.mark) {
      out->position = after;
      return true;
    }
    std::vector<FeedItem> events;
    const std::vector<std::string> range{std::to_string(after.mark), std::to_string(until)};
    if (!run(feed_events_sql(pg_dialect(), "e.tx >= $1::text::xid8 AND e.tx < $2::text::xid8"), range,
             [&events](const PGresult* r, int i) { events.push_back(feed_event_from_row(ResultRow(r, i))); }, error))
      return false;
    out->items = feed_changes(events);
    const std::string window =
        "l.last_seen >= $1::bigint AND ((l.xmin::text::bigint - $2::bigint) % 4294967296 + 4294967296) % 4294967296 < $3::bigint";
    const std::int64_t wrap = std::int64_t{1} << 32;
    return run(feed_refreshes_sql(pg_dialect(), window, "$4::bigint"),
               {std::to_string(after.since - kClockMargin), std::to_string(after.mark % wrap),
                std::to_string(until - after.mark), std::to_string(now)},
               [out](const PGresult* r, int i) { out->items.push_back(feed_item_from_row(ResultRow(r, i), "refreshed")); },
               error);
  }

  bool note_check(std::int64_t now, std::string* error) override {
    return change(kSql.note_check, {std::to_string(now)}, error);
  }

  bool last_change(std::int64_t* out, std::string* error) override {
    return run(kSql.last_change, {}, [out](const PGresult* r, int i) { *out = number_at(r, i, 0); }, error);
  }

  bool expire_unrefreshed(std::int64_t by, std::int64_t* changed, std::string* error) override {
    long rows = 0;
    if (!run(kSql.expire_unrefreshed, {std::to_string(by)}, {}, error, &rows)) return false;
    *changed = rows;
    return true;
  }

  bool find(const MapQuery& q, std::int64_t now, std::vector<LogonEntry>* out, std::string* error) override {
    out->clear();
    return run(find_statement(pg_dialect(), q, now), [out](const PGresult* r, int i) {
      out->push_back(entry_from_row(ResultRow(r, i)));
    }, error);
  }

  bool count(const MapQuery& q, std::int64_t now, std::int64_t* out, std::string* error) override {
    return run(count_statement(pg_dialect(), q, now), [out](const PGresult* r, int i) { *out = number_at(r, i, 0); },
               error);
  }

  bool totals(std::int64_t now, std::int64_t stale_before, MapTotals* out, std::string* error) override {
    const std::string at = std::to_string(now);
    const auto into = [](std::int64_t* n) { return [n](const PGresult* r, int i) { *n = number_at(r, i, 0); }; };
    return run(kSql.count_current, {at}, into(&out->logged_on), error) &&
           run(kSql.count_stale, {at, std::to_string(stale_before)}, into(&out->stale), error) &&
           run(kSql.count_conflicts, {at}, into(&out->conflicts), error) &&
           run(kSql.count_uncredited, {at}, into(&out->uncredited), error) &&
           run(kSql.count_unproven, {at}, into(&out->unproven), error);
  }

  bool address_use(const std::string& address, std::int64_t now, AddressUse* out, std::string* error) override {
    *out = AddressUse();
    return run(kSql.address_use, {address, std::to_string(now)}, [out](const PGresult* r, int i) {
      out->hosts = number_at(r, i, 0);
      out->users = number_at(r, i, 1);
      out->claims = number_at(r, i, 2);
    }, error) && run(kSql.address_answer, {address, std::to_string(now)}, [out](const PGresult* r, int i) {
      out->answered = true;
      out->answer = CreditHolder{text_at(r, i, 0), text_at(r, i, 1), text_at(r, i, 2)};
    }, error);
  }

  bool samples(std::int64_t since, std::vector<MapSample>* out, std::string* error) override {
    out->clear();
    return run(kSql.samples, {std::to_string(since)}, [out](const PGresult* r, int i) {
      out->push_back(MapSample{number_at(r, i, 0), number_at(r, i, 1)});
    }, error);
  }

 private:
  // How far the clocks of the services sharing the map may differ, and more.
  static constexpr std::int64_t kClockMargin = 600;

  // The map's name, and the oldest transaction still running as the position's mark.
  bool feed_head(FeedRead* out, std::string* error) {
    return run(kFeedMapName, {}, [out](const PGresult* r, int i) { out->map = text_at(r, i, 0); }, error) &&
           run("SELECT pg_snapshot_xmin(pg_current_snapshot())::text::bigint", {},
               [out](const PGresult* r, int i) { out->position.mark = number_at(r, i, 0); }, error);
  }

  // The statements below send what is held first, so that every statement sees the changes made before it.
  bool run(const std::string& sql, const std::vector<std::string>& params, const RowReader& row, std::string* error,
           long* changed = nullptr) {
    return flushed(error) && client_.run(sql, params, row, error, changed);
  }

  bool run(const SqlStatement& sql, const RowReader& row, std::string* error) {
    return run(sql.text, param_texts(sql.params), row, error);
  }

  bool change(const std::string& sql, const std::vector<std::string>& params, std::string* error) {
    return flushed(error) && client_.change(sql, params, error);
  }

  bool read_events(const SqlStatement& sql, std::vector<LogonEvent>* out, std::string* error,
                   LogonEvent (*from_row)(const SqlRow&) = event_from_row) {
    out->clear();
    return run(sql, [out, from_row](const PGresult* r, int i) { out->push_back(from_row(ResultRow(r, i))); }, error);
  }

  // The statement that takes keys, looked up once per connection (see kKeySequence).
  bool key_statement(std::string* error) {
    return !next_ids_.empty() ||
           run(kKeySequence, {}, [this](const PGresult* r, int i) { next_ids_ = next_ids_sql(text_at(r, i, 0)); },
               error);
  }

  // The stored entries of the lookups and who is credited at their addresses, with a new key for each lookup.
  bool read_lookups(std::vector<EntryLookup>* lookups, std::vector<std::int64_t>* keys, std::string* error) {
    HeldRows names(3);
    HeldRows addresses(2);
    std::vector<std::vector<CreditHolder>*> outs;
    for (EntryLookup& l : *lookups) {
      l.stored = StoredEntry();
      l.credited.assign(l.addresses.size(), {});
      names.add({l.entry->user, l.entry->domain, l.entry->host});
      for (std::size_t i = 0; i < l.addresses.size(); ++i) {
        addresses.add({l.addresses[i], std::to_string(l.entry->last_seen)});
        outs.push_back(&l.credited[i]);
      }
    }
    const auto stored = [lookups](const PGresult* r, int i) {
      (*lookups)[static_cast<std::size_t>(number_at(r, i, 0) - 1)].stored = stored_entry_at(r, i, 1);
    };
    const auto key = [keys](const PGresult* r, int i) { keys->push_back(number_at(r, i, 0)); };
    return client_.send(find_entries_sql(), names.arrays(), Awaited{stored, nullptr, {}, false}, error) &&
           client_.send(next_ids_, {std::to_string(lookups->size())}, Awaited{key, nullptr, {}, false}, error) &&
           (outs.empty() || client_.send(credited_at_many_sql(), addresses.arrays(),
                                         Awaited{holders_by_order(outs), nullptr, {}, false}, error)) &&
           client_.settle(error);
  }

  bool sent_unless_apart(std::string* error) { return (client_.pipelined() && apart_) || send_held(error); }

  bool flushed(std::string* error) { return !client_.pipelined() || send_held(error); }

  // Sends what is held, in pipeline mode without waiting (otherwise waiting for each).
  bool send_held(std::string* error) {
    if (held_.empty()) return true;
    const std::vector<HeldStatement> statements = held_.statements();
    held_ = HeldChanges();
    for (const HeldStatement& s : statements) {
      // Credit is held only in pipeline mode (record_change()).
      const bool ok = s.after_into.empty() ? client_.change(s.sql, s.params, error)
                                           : client_.send(s.sql, s.params,
                                                          Awaited{holders_by_order(s.after_into), nullptr, {}, false},
                                                          error);
      if (!ok) return false;
    }
    return true;
  }

  // After a commit or a rollback: what is held goes unsent, and the keys taken for new entries are forgotten.
  void end_transaction() {
    held_ = HeldChanges();
    apart_ = false;
    client_.end_transaction();
    reserved_.clear();
  }

  PgClient client_;
  std::string next_ids_;                          // the statement that takes keys (see kKeySequence)
  std::map<std::string, std::int64_t> reserved_;  // folded names of entries looked up and not found: their keys
  std::int64_t newest_key_ = 0;                   // the newest key taken
  std::int64_t planned_at_key_ = 0;               // the newest key when the plans were last made anew
  bool apart_ = false;                            // the writer's changes concern entries apart from each other's
  HeldChanges held_;                              // changes and reads not sent yet
};

class PgStore : public MapStore {
 public:
  explicit PgStore(std::string uri) : uri_(std::move(uri)) {}

  std::unique_ptr<MapConnection> connect(std::string* error) override { return open(error); }

  std::unique_ptr<PgConnection> open(std::string* error) {
    // Defaults the URI may override: a bounded wait for a connection, and keepalives with a TCP
    // time-out, so that a server that vanished is noticed while the connection waits.
    const char* const keys[] = {"connect_timeout",    "keepalives_idle",  "keepalives_interval",
                                "keepalives_count",   "tcp_user_timeout", "application_name",
                                "dbname",             "client_encoding",  nullptr};
    const char* const values[] = {"5", "10", "5", "3", "10000", "pellamor-service", uri_.c_str(), "UTF8", nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (conn == nullptr) {
      *error = "cannot reach user map " + map_display_name(uri_) + ": out of memory";
      return nullptr;
    }
    auto connection = std::make_unique<PgConnection>(conn);
    std::string why = one_line(PQerrorMessage(conn));
    if (PQstatus(conn) == CONNECTION_OK && connection->start(&why)) return connection;
    *error = "cannot reach user map " + map_display_name(uri_) + ": " + why;
    return nullptr;
  }

 private:
  const std::string uri_;
};

}  // namespace

std::unique_ptr<MapStore> open_postgres_store(const std::string& uri, std::string* notice, std::string* error) {
  auto store = std::make_unique<PgStore>(uri);
  std::unique_ptr<PgConnection> first = store->open(error);
  if (!first) return nullptr;
  std::string why;
  if (!prepare_pg_schema(first->client(), notice, &why)) {
    *error = "cannot use user map " + map_display_name(uri) + ": " + why;
    return nullptr;
  }
  return store;
}
