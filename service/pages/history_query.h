// The parameters of `/history.json`: a page of the map's events, or who held an address at a moment.
#pragma once

#include <string>
#include <vector>

#include "http/query.h"
#include "usermap/history.h"

constexpr std::size_t kDefaultHistoryLimit = 100;
constexpr std::size_t kMaxHistoryLimit = 1000;

struct HistoryRequest {
  bool holders = false;  // ip and at: the entries that held the address then
  HistoryQuery events;   // otherwise: a page of events, newest first
  HolderQuery moment;
};

// Reads ip (a numeric address, kept canonical), user (NAME or DOMAIN\NAME), host, since and until
// (times as 2026-12-07T14:05:00Z, in UTC, both included), limit (1 to kMaxHistoryLimit, default
// kDefaultHistoryLimit) and offset (events skipped, newest first); or ip and at alone. An empty
// value sets nothing. An unknown parameter, one given twice, a value that cannot be read, since
// after until, or at without ip or with the page's parameters is an error.
bool read_history_request(const std::vector<QueryParam>& params, HistoryRequest* out, std::string* error);
