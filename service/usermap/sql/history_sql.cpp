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

namespace {

// The entry's last event of one kind at the address, at or before the moment: one seek of the
// index by address and entry, however many events the entry has there.
std::string last_there(const SqlDialect& d, const char* column, const char* kind, const std::string& ip,
                       const std::string& at) {
  return std::string("(SELECT a.") + column + " FROM logon_events a WHERE a.address = " + ip + " AND " +
         same_entry(d, "a", "p") + " AND a.kind = " + quoted(kind) + " AND a.at <= " + at +
         " ORDER BY a.at DESC, a.id DESC LIMIT 1)";
}

// The first event at the address that meets `condition`, in the order of the index by address and
// entry: one seek of that index.
std::string first_there(const std::string& ip, const std::string& condition, const std::string& order) {
  return "(SELECT x.id FROM logon_events x WHERE x.address = " + ip + condition + " ORDER BY " + order + " LIMIT 1)";
}

// An event of the first entry at the address, or of the one after the entry of event row `after`:
// the same user and host with a later domain, else the same host with a later user, else a later
// host. Each is a seek that passes over all of an entry's events there at once, where one comparison
// of the three names together would start at the host and read them.
std::string next_entry_there(const SqlDialect& d, const std::string& ip, const std::string& after) {
  const auto column = [&d](const std::string& row, const char* name) { return d.name(row + "." + name); };
  const auto compare = [&](const char* name, const char* op) {
    return " AND " + column("x", name) + " " + op + " " + column(after, name);
  };
  const std::string host = column("x", "host");
  const std::string user = column("x", "\"user\"");
  const std::string domain = column("x", "domain");
  if (after.empty()) return first_there(ip, "", host + ", " + user + ", " + domain);
  return "coalesce(" + first_there(ip, compare("host", "=") + compare("\"user\"", "=") + compare("domain", ">"), domain) +
         ", " + first_there(ip, compare("host", "=") + compare("\"user\"", ">"), user + ", " + domain) + ", " +
         first_there(ip, compare("host", ">"), host + ", " + user + ", " + domain) + ")";
}

// Each entry at the address, by one of its events there (present.id), with its last login, move or
// migration there (the latest, by the order of the rows: a map brought up to date records its
// entries where they were then) and whether its last change of credit there gave it credit.
std::string arrivals(const SqlDialect& d, const std::string& ip, const std::string& at) {
  const auto last = [&](const char* kind) { return "coalesce(" + last_there(d, "id", kind, ip, at) + ", 0)"; };
  const std::string logged_in = last(kEventLogin), moved_in = last(kEventMoved), migrated = last(kEventMigrated);
  return "WITH RECURSIVE present(id) AS (SELECT " + next_entry_there(d, ip, "") + " UNION ALL SELECT " +
         next_entry_there(d, ip, "p") + " FROM present JOIN logon_events p ON p.id = present.id),"
         " arrivals AS (SELECT p.id AS entry_row, CASE WHEN " + moved_in + " > " + logged_in + " AND " + moved_in +
         " > " + migrated + " THEN " + moved_in + " WHEN " + logged_in + " > " + migrated + " THEN " + logged_in +
         " ELSE " + migrated + " END AS arrival, coalesce(" +
         last_there(d, "id", kEventCredited, ip, at) + ", 0) > coalesce(" +
         last_there(d, "id", kEventUncredited, ip, at) + ", 0) AS credited"
         " FROM present JOIN logon_events p ON p.id = present.id) ";
}

// The entry of row p, which arrived by event e, neither ended at the address since (a logout or an
// expiry has a row at each address the entry had) nor moved elsewhere in a later second (a move
// lists every address of the new set, so a later move without this one took it away). Each is a
// subquery of one row rather than NOT EXISTS, which PostgreSQL may make a join that reads all the
// entry's events instead of seeking the first after the arrival.
std::string still_there(const SqlDialect& d, const std::string& ip, const std::string& at) {
  const auto none_after = [&](const std::string& where, const char* first_time) {
    return "(SELECT o.id FROM logon_events o WHERE " + where + " AND o.at " + first_time + " e.at AND o.at <= " + at +
           " ORDER BY o.at LIMIT 1) IS NULL";
  };
  const std::string entry = same_entry(d, "o", "p");
  return none_after("o.address = " + ip + " AND " + entry + " AND o.kind = " + quoted(kEventLogout) + " AND o.id > e.id",
                    ">=") +
         " AND " +
         none_after("o.address = " + ip + " AND " + entry + " AND o.kind = " + quoted(kEventExpired) + " AND o.id > e.id",
                    ">=") +
         " AND " + none_after(entry + " AND o.kind = " + quoted(kEventMoved), ">");
}

}  // namespace

// Each entry ever at the address is taken once: it was there at the moment when its last arrival
// there, up to the moment, still held.
SqlStatement holders_statement(const SqlDialect& d, const HolderQuery& q) {
  SqlStatement s;
  Params p{d, s};
  const std::string ip = p.text(q.ip);
  const std::string at = p.number(q.at);
  s.text = arrivals(d, ip, at) + "SELECT " + kEventColumns + ", r.credited FROM arrivals r"
           " JOIN logon_events p ON p.id = r.entry_row JOIN logon_events e ON e.id = r.arrival WHERE " +
           still_there(d, ip, at) + " ORDER BY r.credited DESC, e.at DESC, e.id DESC";
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

LogonEvent holder_from_row(const SqlRow& row) {
  LogonEvent e = event_from_row(row);
  e.credited = row.truth(6);
  return e;
}
