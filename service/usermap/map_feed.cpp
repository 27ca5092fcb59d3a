// The map's change feed: the history's credit events as a consumer of the feed reads them.
#include "usermap/map_feed.h"

#include <set>

#include "usermap/history.h"

namespace {

std::string credit_key(const FeedItem& e) {
  return e.address + '\n' + e.user + '\n' + e.domain + '\n' + e.host;
}

}  // namespace

std::vector<FeedItem> feed_changes(const std::vector<FeedItem>& events) {
  // The purge writes an entry's expiry and the credit it took in one transaction, so both are read together.
  std::set<std::string> ran_out;
  for (const FeedItem& e : events)
    if (e.change == kEventExpired) ran_out.insert(credit_key(e));
  std::vector<FeedItem> out;
  for (const FeedItem& e : events) {
    if (e.change == kEventExpired) continue;
    out.push_back(e);
    if (e.change == kEventUncredited && ran_out.count(credit_key(e)) != 0) out.back().change = kEventExpired;
  }
  return out;
}
