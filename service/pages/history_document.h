// The JSON document of `/history.json`.
#pragma once

#include <string>

#include "pages/history_query.h"
#include "usermap/user_map.h"

// {"events": [...], "offset", "limit", "more"}: a page of events, newest first, "more" telling
// that another page follows (at offset + limit); or, for ip and at, {"ip", "at", "entries": [...]}
// with the entries that held the address, each with the last event that put or kept it there.
std::string history_json(const HistoryPage& page, const HistoryRequest& request);
