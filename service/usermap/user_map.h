// The user map: who is logged on at which machine, kept in a store that survives restarts and crashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "usermap/map_limits.h"
#include "usermap/map_samples.h"
#include "usermap/map_store.h"
#include "usermap/map_types.h"
#include "usermap/restore_mark.h"

class MapWriter;

struct MapPage {
  Failure failure;  // none: read; unavailable: the store could not be reached, the same read may succeed later
  std::vector<LogonEntry> entries;  // at most limit + 1: the extra one tells that another page follows
  std::int64_t matches = 0;  // entries that match the query, on all pages together
  // How the current entries share each address that the page's entries are found at.
  std::map<std::string, AddressUse> addresses;
  std::optional<MapTotals> totals;  // with ViewExtras::totals
  std::vector<MapSample> history;   // with ViewExtras::history: the samples of the last day, oldest first
};

// Events of the history, or the entries that held an address at a moment (each with its event).
struct HistoryPage {
  Failure failure;  // as MapPage's
  std::vector<LogonEvent> events;  // a page of the history: at most limit + 1
};

// What a read adds to its page besides the use of its addresses.
struct ViewExtras {
  bool totals = false;   // the whole map's totals, which read much of the map
  bool history = false;  // the samples of the last day
};

class UserMap {
 public:
  using ChangeDone = std::function<void(const ChangeOutcome&)>;
  using ReadDone = std::function<void(MapPage)>;
  using HistoryDone = std::function<void(HistoryPage)>;
  using CountDone = std::function<void(std::int64_t count, const Failure& failure)>;
  using CheckDone = std::function<void(const Failure& failure)>;
  using FeedDone = std::function<void(const FeedRead& read, const Failure& failure)>;
  using CommitObserver = std::function<void(double seconds)>;
  using ExpiryObserver = std::function<void(const std::vector<LogonEntry>& expired)>;
  using CreditObserver = std::function<void(const std::vector<CreditChange>& changes)>;

  // Opens the map at `path`, an SQLite file (see open_sqlite_store) or a PostgreSQL connection URI
  // (see open_postgres_store), and starts its threads. With a mark (see restore_mark.h), a map
  // restored from a backup is recognised first, and the mark is kept as the map stops.
  static std::unique_ptr<UserMap> open(const std::string& path, const MapLimits& limits, std::string* notice,
                                       std::string* error, const RestoreMark& mark = RestoreMark());
  // Starts the writer and the readers, each on a connection of its own to `store`.
  static std::unique_ptr<UserMap> start(std::unique_ptr<MapStore> store, const MapLimits& limits, std::string* error);
  ~UserMap();
  UserMap(const UserMap&) = delete;
  UserMap& operator=(const UserMap&) = delete;

  // Queues a change for the writer thread. The writer commits every change
  // queued meanwhile in one transaction with one sync (group commit), then
  // calls each `done` on its own thread, so that no caller is told of a change
  // before it is durable. Entries expired by then are deleted at most once a second.
  void submit(MapChange change, ChangeDone done);
  // Queues a read (see MapConnection::find) for a reader thread, which calls `done`. Readers have
  // connections of their own and never wait for the writer. Lookups by address, what the gateway
  // asks, have a reader of their own, so that no listing (a deep page may walk much of the map)
  // holds them up; and however many arrive, they take one thread's share of the processors at
  // most, so that logins go on beside any number of them.
  // A read with extras, or of the entries in conflict, goes to the reader of listings, whatever it looks up.
  void read(MapQuery query, std::int64_t now, ReadDone done, ViewExtras extras = {});
  // Queues a read of the history (see MapConnection::history) for the reader of listings.
  void read_history(HistoryQuery query, HistoryDone done);
  // Queues the question who held an address at a moment (see MapConnection::holders), likewise.
  void read_holders(HolderQuery query, HistoryDone done);
  // Reads the change feed (see MapConnection::feed_snapshot and feed_since) on a reader of its own,
  // so that neither the consoles nor the gateway's lookups wait for the feed's consumers: the
  // snapshot without `after`, otherwise the changes after it.
  void read_feed(std::optional<FeedPosition> after, std::int64_t now, FeedDone done);
  // Counts the entries current at `now`, on the reader of lookups, whose reads are all short: the
  // health check and the metrics ask it, and wait behind no listing.
  void count_current(std::int64_t now, CountDone done);
  // Asks the writer for a transaction with a small real write of its own (MapConnection::note_check),
  // after the changes queued before it; `done` is called on the writer's thread.
  void check(CheckDone done);
  // Calls `observer` on the writer's thread with the time each commit of changes took, from its
  // begin to the end of its synchronous write.
  void observe_commits(CommitObserver observer);
  // Calls `observer` on the writer's thread with the entries that ran out, once their removal is
  // committed. The writer removes them with its commits, and every few seconds when none comes.
  void observe_expiries(ExpiryObserver observer);
  // Calls `observer` on the writer's thread with the changes of who is credited at each address
  // that one commit made, in the order its changes were applied, once it is committed.
  void observe_credit(CreditObserver observer);
  // Commits the changes and answers the reads that are queued, then stops the threads; later
  // changes and queued reads fail.
  void stop();

 private:
  struct Reader;
  UserMap(std::unique_ptr<MapStore> store, std::unique_ptr<MapWriter> writer, std::unique_ptr<Reader> lookups,
          std::unique_ptr<Reader> listings, std::unique_ptr<Reader> feeds);

  std::unique_ptr<MapStore> store_;
  std::unique_ptr<MapWriter> writer_;
  std::unique_ptr<Reader> lookups_;   // lookups by address
  std::unique_ptr<Reader> listings_;  // everything else
  RestoreMark mark_;                  // kept at the first stop
  std::unique_ptr<Reader> feeds_;     // the change feed
  std::int64_t history_seconds_ = 0;  // how long the history keeps events

};
