// A consumer's side of the logon services' change feed (`/feed`): snapshots and batches of changes, failing over between services.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/failure.h"
#include "gateway/lookup_client.h"

struct FeedGroup {
  std::string sid;
  std::string name;  // DOMAIN\Name
};

// One address credited to a logged-on user, and when that credit ends unless the entry is
// refreshed (for a credit that ended, when it did); epoch seconds.
struct FeedEntry {
  std::string address;
  std::string user;
  std::string domain;
  std::string host;
  std::vector<FeedGroup> groups;
  std::int64_t expires = 0;
};

enum class FeedChange { Credited, Uncredited, Refreshed, Expired };

struct FeedEvent {
  FeedChange change;
  FeedEntry entry;
};

// What one call of FeedClient::next() brought: a snapshot that replaces everything known, or the
// changes since the last call, in order (possibly none, when the wait ran out).
struct FeedUpdate {
  bool snapshot = false;
  std::vector<FeedEntry> entries;  // the snapshot
  std::vector<FeedEvent> events;   // the changes
};

// Follows the feed of the services given, which share one map (or is one service). The first call
// takes a snapshot; each later one waits for the changes after it. A service that fails is left
// for the next, as the Squid helper does; a cursor is valid on every service of one map, so the
// changes go on where they were. One that answers 410 (the cursor is too old, or it keeps another
// map) has the next call take a new snapshot.
class FeedClient {
 public:
  explicit FeedClient(std::vector<ServiceAddress> services);

  // `wait_seconds` (0 to 60): how long a service may wait for changes before it answers none.
  // Unavailable when no service answered; `notes` receives a line for each service that failed
  // before another answered, and one when a service could not resume the cursor.
  Failure next(int wait_seconds, FeedUpdate* out, std::vector<std::string>* notes);
  // Has the next call take a snapshot.
  void restart() { cursor_.clear(); }

 private:
  LookupClient services_;
  std::string cursor_;
};

// Reads a snapshot or a batch of changes from `json` into `out`, its cursor into `cursor`; false
// when it is neither.
bool read_feed_document(const std::string& json, FeedUpdate* out, std::string* cursor);
