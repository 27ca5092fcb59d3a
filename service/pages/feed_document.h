// The change feed's JSON (`/feed`): its cursors, the snapshot of every credited address, a batch of changes.
#pragma once

#include <string>

#include "usermap/map_feed.h"

// A cursor names the map it belongs to and a position in it; it means nothing to another map.
std::string feed_cursor(const std::string& map, const FeedPosition& position);
// False for a text no cursor is written as.
bool read_feed_cursor(const std::string& text, std::string* map, FeedPosition* position);

// {"cursor": ..., "snapshot": [...]} or {"cursor": ..., "changes": [...]}.
std::string feed_snapshot_json(const std::string& cursor, const FeedRead& read);
std::string feed_changes_json(const std::string& cursor, const FeedRead& read);
