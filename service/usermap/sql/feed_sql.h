// The SQL that reads the map's change feed, for every store; each store adds how it orders the history.
#pragma once

#include <string>

#include "usermap/map_feed.h"
#include "usermap/sql/map_sql.h"

// Every address credited now to a live entry: address, user, domain, host, expires, groups (as
// the logons table keeps them). Its one parameter is the present time.
std::string feed_snapshot_sql(const SqlDialect& d);
// The credit events (and the expiries that explain some of them) that `range`, a condition on the
// event `e` in the store's own parameters, selects, in the order they were written: kind, address,
// user, domain, host, at, and the expiry and groups of the entry if it is still in the map (else 0
// and none).
std::string feed_events_sql(const SqlDialect& d, const std::string& range);
// The entries refreshed in `window`, a condition on the entry `l` in the store's own parameters,
// at each address they are credited at, as feed_snapshot_sql() reads them; parameter `now` is the
// present time. A new entry is no refresh: its first and last sighting are one.
std::string feed_refreshes_sql(const SqlDialect& d, const std::string& window, const std::string& now);

// The map's name, made when the map was.
constexpr const char* kFeedMapName = "SELECT name FROM map_identity WHERE one = 1";

// An item of the feed from a row of feed_snapshot_sql() or feed_refreshes_sql().
FeedItem feed_item_from_row(const SqlRow& row, const char* change);
// An event from a row of feed_events_sql(), its kind in `change`; `expires` is a credit's end: the
// entry's expiry for a credit it still has, the event's time for one that ended.
FeedItem feed_event_from_row(const SqlRow& row);
