// The console's page of the map's history (`/changes`): the recent changes, or who was at an address at a moment.
#pragma once

#include <cstdint>
#include <string>

#include "pages/history_query.h"
#include "usermap/user_map.h"

// How far back the recent changes go when no time is asked for.
constexpr std::int64_t kRecentChangesSeconds = 3600;

// `page` was read for `request`: its events, newest first, with links to newer and older ones; or,
// for ip and at, the entries that held the address then, with the time field to ask again.
std::string changes_html(const HistoryPage& page, const HistoryRequest& request, std::int64_t now);
