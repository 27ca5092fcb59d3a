// The map's change feed as the stores read it: every address credited now, and what changed since a position.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usermap/map_types.h"

// Where a consumer of the feed stands. `mark` orders the history's events: in SQLite, whose one
// writer commits in the order it numbers them, the last event's number; in PostgreSQL, where
// services commit in another order than they take numbers, the oldest transaction still running
// when it was read (every transaction before it has ended, so nothing older can appear later).
// `since` is the time from which refreshed entries are looked for.
struct FeedPosition {
  std::int64_t mark = 0;
  std::int64_t since = 0;
};

// One address credited to an entry, and when that credit ends unless the entry is refreshed (for
// a credit that ended, when it did).
struct FeedItem {
  std::string change;  // in a list of changes: credited, uncredited, refreshed or expired
  std::string address;
  std::string user;
  std::string domain;
  std::string host;
  // The entry's groups as it has them now: a credit whose entry has gone since has none.
  std::vector<EntryGroup> groups;
  std::int64_t expires = 0;
};

struct FeedRead {
  std::string map;  // the map's own name, given it once when it was made
  FeedPosition position;
  std::vector<FeedItem> items;
  bool lost = false;  // the position is older than what the map still keeps
};

// The feed's changes from the history's credit events, in order: a credit an expiry took is
// `expired`, any other one taken `uncredited`; the expiry events themselves say nothing more.
std::vector<FeedItem> feed_changes(const std::vector<FeedItem>& events);
