// The user map: who is logged on at which machine, kept in a store that survives restarts and crashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "map_store.h"
#include "map_types.h"

// What the map lets one login claim.
struct MapLimits {
  // Live entries one account may hold at different hosts; a login from a further host is refused
  // until one of them is logged out or expires. 0: no limit.
  std::size_t max_entries_per_account = 100;
};

struct MapPage {
  bool ok = false;
  std::vector<LogonEntry> entries;  // at most limit + 1: the extra one tells that another page follows
  std::string error;
};

class UserMap {
 public:
  using ChangeDone = std::function<void(const ChangeOutcome&)>;
  using ReadDone = std::function<void(MapPage)>;

  // Opens the SQLite map at `path` (see open_sqlite_store) and starts its threads.
  static std::unique_ptr<UserMap> open(const std::string& path, const MapLimits& limits, std::string* notice,
                                       std::string* error);
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
  // Reads (see MapConnection::find) on connections of the readers' own, which never wait for the
  // writer or for each other. A lookup by address, what the gateway asks, reads only that
  // address's entries: it runs at once on the caller's thread, on a connection lent to it, and
  // `done` is called before read returns. Other reads may walk much of the map (a deep page): they
  // are queued for the reader threads, and `done` is called on one of them.
  void read(MapQuery query, std::int64_t now, ReadDone done);
  // Commits the changes and answers the reads that are queued, then stops the threads; later
  // changes and queued reads fail.
  void stop();

 private:
  struct Writer;
  struct Readers;
  UserMap(std::unique_ptr<MapStore> store, std::unique_ptr<Writer> writer, std::unique_ptr<Readers> readers);

  std::unique_ptr<MapStore> store_;
  std::unique_ptr<Writer> writer_;
  std::unique_ptr<Readers> readers_;
};
