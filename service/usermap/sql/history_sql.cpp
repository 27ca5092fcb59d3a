// The SQL that reads the map's history.
#include "usermap/sql/history_sql.h"

namespace {

constexpr const char* kEventColumns = "e.at, e.kind, e.\"user\", e.domain, e.host, e.address";

// The parameters of a statement, numbered as they are added.
struct Params {
  const SqlDialect& d;
  SqlStatement& s;
  std::string text(const std::string& value) {
    s.params.push_back(SqlValue{SqlType::Text, value, 0});
    return d.param(s.params.size(), SqlType::Text);
  }
  std::string number(std::int64_t value) {
    s.params.push_back(SqlValue{SqlType::Number, {}, value});
    return d.param(s.params.size(), SqlType::Number);
  }
};

std::string quoted(const char* kind) { return std::string("'") + kind + "'"; }

// Rows a and b are events of the same entry, compared as the index by entry compares names.
std::string same_entry(const SqlDialect& d, const std::string& a, const std::string& b) {
  std::string out;
  for (const char* column : {"host", "\"user\"", "domain"}) {
    out += std::string(out.empty() ? "" : " AND ") + d.name(a + "." + column) + " = " + d.name(b + "." + column);
  }
  return out;
}

}  // namespace

SqlStatement history_statement(const SqlDialect& d, const HistoryQuery& q) {
  SqlStatement s;
  Params p{d, s};
  std::string where;
  const auto add = [&where](const std::string& condition) { where += (where.empty() ? " WHERE " : " AND ") + condition; };
  if (!q.ip.empty()) add("e.address = " + p.text(q.ip));
  if (!q.user.empty()) add(d.name("e.\"user\"") + " = " + d.name(p.text(q.user)));
  if (!q.user.empty() && !q.domain.empty()) add(d.name("e.domain") + " = " + d.name(p.text(q.domain)));
  if (!q.host.empty()) add(d.name("e.host") + " = " + d.name(p.text(q.host)));
  if (q.since != 0) add("e.at >= " + p.number(q.since));
  if (q.until != 0) add("e.at <= " + p.number(q.until));
  s.text = std::string("SELECT ") + kEventColumns + " FROM logon_events e" + where + " ORDER BY e.at DESC, e.id DESC LIMIT " +
           p.number(static_cast<std::int64_t>(q.limit) + 1) + " OFFSET " + p.number(static_cast<std::int64_t>(q.offset));
  return s;
}

// An entry's last event at the address (through the address index) puts or keeps it there, and
// no later event of the entry (through the index by entry) ends it or moves it: a move lists
// every address of the new set, so a move without this address took the entry away from it.
SqlStatement holders_statement(const SqlDialect& d, const HolderQuery& q) {
  SqlStatement s;
  Params p{d, s};
  const std::string ip = p.text(q.ip);
  const std::string at = p.number(q.at);
  const std::string holding = quoted(kEventLogin) + ", " + quoted(kEventMoved) + ", " + quoted(kEventCredited) + ", " +
                              quoted(kEventMigrated);
  const std::string leaving = quoted(kEventMoved) + ", " + quoted(kEventLogout) + ", " + quoted(kEventExpired);
  s.text = std::string("SELECT ") + kEventColumns + " FROM logon_events e WHERE e.address = " + ip + " AND e.at <= " + at +
           " AND e.kind IN (" + holding + ")"
           " AND NOT EXISTS (SELECT 1 FROM logon_events n WHERE n.address = " + ip + " AND n.at <= " + at +
           " AND n.id > e.id AND " + same_entry(d, "n", "e") + ")"
           " AND NOT EXISTS (SELECT 1 FROM logon_events o WHERE " + same_entry(d, "o", "e") + " AND o.at > e.at AND o.at <= " +
           at + " AND o.kind IN (" + leaving + "))"
           " ORDER BY e.at DESC, e.id DESC";
  return s;
}

LogonEvent event_from_row(const SqlRow& row) {
  LogonEvent e;
  e.at = row.number(0);
  e.kind = row.text(1);
  e.user = row.text(2);
  e.domain = row.text(3);
  e.host = row.text(4);
  e.address = row.text(5);
  return e;
}
