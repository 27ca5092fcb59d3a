// The SQL that reads the map's change feed, for every store.
#include "usermap/sql/feed_sql.h"

#include "usermap/history.h"
#include "usermap/sql/entry_row.h"

namespace {

constexpr const char* kCreditColumns = "a.address, l.\"user\", l.domain, l.host, l.expires, l.groups";

// Names of the entry `l` equal to those of the event `e`, as the map compares them.
std::string same_names(const SqlDialect& d) {
  std::string out;
  for (const char* column : {"\"user\"", "domain", "host"})
    out += std::string(out.empty() ? "" : " AND ") + d.name(std::string("l.") + column) + " = " +
           d.name(std::string("e.") + column);
  return out;
}

}  // namespace

std::string feed_snapshot_sql(const SqlDialect& d) {
  return std::string("SELECT ") + kCreditColumns +
         " FROM logon_addresses a JOIN logons l ON l.id = a.logon WHERE a.credited = true AND l.expires > " +
         d.param(1, SqlType::Number);
}

std::string feed_events_sql(const SqlDialect& d, const std::string& range) {
  return std::string("SELECT e.kind, e.address, e.\"user\", e.domain, e.host, e.at, coalesce(l.expires, 0), coalesce(l.groups, '')"
                     " FROM logon_events e LEFT JOIN logons l ON ") +
         same_names(d) + " WHERE " + range + " AND e.kind IN ('" + kEventCredited + "', '" + kEventUncredited +
         "', '" + kEventExpired + "') ORDER BY e.id";
}

std::string feed_refreshes_sql(const SqlDialect& d, const std::string& window, const std::string& now) {
  (void)d;
  return std::string("SELECT ") + kCreditColumns +
         " FROM logons l JOIN logon_addresses a ON a.logon = l.id AND a.credited = true WHERE " + window +
         " AND l.first_seen < l.last_seen AND l.expires > " + now;
}

FeedItem feed_item_from_row(const SqlRow& row, const char* change) {
  return FeedItem{change, row.text(0), row.text(1), row.text(2), row.text(3), split_groups(row.text(5)), row.number(4)};
}

FeedItem feed_event_from_row(const SqlRow& row) {
  const std::int64_t expires = row.number(6);
  const bool credited = row.text(0) == kEventCredited;
  return FeedItem{row.text(0), row.text(1), row.text(2), row.text(3), row.text(4), split_groups(row.text(7)),
                  credited && expires != 0 ? expires : row.number(5)};
}
