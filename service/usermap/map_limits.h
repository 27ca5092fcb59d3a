// What the user map lets one login claim, and how long it keeps its history.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/networks.h"
#include "usermap/history.h"

struct MapLimits {
  // Live entries one account may hold at different hosts; a login from a further host is refused
  // until one of them is logged out or expires. 0: no limit.
  std::size_t max_entries_per_account = 100;
  // Events older than this many days are forgotten by the writer, with its purges.
  std::int64_t history_days = kDefaultHistoryDays;
  // How long one listing of an SQLite map may read before it is stopped and fails.
  std::int64_t listing_milliseconds = 5000;
  // Where a login is credited with a reported address that it does not prove (it neither comes
  // from there nor through a trusted relay): addresses in these networks, while no other live
  // entry proves them when the login reports them. Elsewhere only proof is credited.
  NetworkList credit_claims;
};
