// The user map's SQL, written once for every store.
#include "usermap/sql/map_sql.h"

#include <algorithm>

#include "usermap/sql/address_rule.h"
#include "usermap/sql/entry_row.h"
#include "usermap/map_store.h"

namespace {

// The parameters of a statement that is built piece by piece, numbered as they are added.
class Params {
 public:
  Params(const SqlDialect& d, std::vector<SqlValue>* out) : d_(d), out_(out) {}

  std::string text(std::string value) { return add(SqlValue{SqlType::Text, std::move(value), 0}); }
  std::string number(std::int64_t value) { return add(SqlValue{SqlType::Number, {}, value}); }

 private:
  std::string add(SqlValue value) {
    out_->push_back(std::move(value));
    return d_.param(out_->size(), out_->back().type);
  }

  const SqlDialect& d_;
  std::vector<SqlValue>* out_;
};

// The entry's account is the one named by the text parameters `user` and `domain`.
std::string same_account(const SqlDialect& d, std::size_t user, std::size_t domain) {
  return d.name("\"user\"") + " = " + d.name(d.param(user, SqlType::Text)) + " AND " + d.name("domain") + " = " +
         d.name(d.param(domain, SqlType::Text));
}

std::string host_compared(const SqlDialect& d, const char* op, std::size_t host) {
  return d.name("host") + " " + op + " " + d.name(d.param(host, SqlType::Text));
}

// The account of an entry m, as one text, to count distinct accounts.
std::string folded_account(const SqlDialect& d, const std::string& table) {
  return d.folded(table + ".\"user\"") + " || '\\' || " + d.folded(table + ".domain");
}

// Counts the entries m found at address row `row` that merely claim it (the set-based form of
// proves() in usermap/address_rule.h, negated).
std::string count_claims(const std::string& row) {
  return "count(CASE WHEN m.peer <> " + row + ".address AND NOT m.relayed THEN 1 END)";
}

// The addresses in conflict (see AddressUse): only addresses with more than one entry are looked at.
std::string conflicts_with(const SqlDialect& d, const std::string& now) {
  return "WITH shared AS (SELECT address FROM logon_addresses GROUP BY address HAVING count(*) > 1),"
         " conflicts AS (SELECT s.address FROM shared s JOIN logon_addresses c ON c.address = s.address" +
         d.entry_of("c", "m") + " WHERE m.expires > " + now + " GROUP BY s.address"
         " HAVING count(DISTINCT " + folded_account(d, "m") + ") > 1 AND (count(DISTINCT " + d.folded("m.host") +
         ") > 1 OR " + count_claims("c") + " > 0)) ";
}

// The entry `l` is found at an address that no entry live at `now` proves.
std::string unproven_entry(const SqlDialect& d, const std::string& l, const std::string& now) {
  return "EXISTS (SELECT 1 FROM logon_addresses u WHERE u.logon = " + l + ".id AND NOT " + proven_sql(d, "u.address", now) +
         ")";
}

// The tables and filters of a listing (or its count). Only the filters in use are in the
// statement, so that each kind of read walks an index: a lookup by address the address table's
// key (only the entries at that address are sorted), a lookup by user the names' unique index,
// a search by name the names' and the hosts' indexes, the stale entries the index on the time
// last seen, and a plain listing the hosts' index: a page is a walk along it, with no sort of the map.
struct Listing {
  std::string with;  // the addresses in conflict, when they are listed
  std::string body;  // FROM ... WHERE ...
  std::string now;   // the parameter of the time entries must outlive

  Listing(const SqlDialect& d, const MapQuery& q, std::int64_t at, Params& p) : now(p.number(at)) {
    if (q.show == MapShow::Conflicts) {
      with = conflicts_with(d, now);
      body = "FROM conflicts x JOIN logon_addresses a ON a.address = x.address" + d.entry_of("a", "l") + " WHERE";
    } else {
      body = q.ip.empty() ? "FROM logons l WHERE" : "FROM logon_addresses a" + d.entry_of("a", "l") + " WHERE";
    }
    if (!q.ip.empty()) {
      const std::string ip = p.text(q.ip);
      body += " a.credited = true AND a.address = " + ip + " AND l.expires > " + now;
    } else {
      body += " l.expires > " + now;
    }
    if (!q.user.empty()) body += " AND " + d.name("l.\"user\"") + " = " + d.name(p.text(q.user));
    if (!q.user.empty() && !q.domain.empty()) body += " AND " + d.name("l.domain") + " = " + d.name(p.text(q.domain));
    if (!q.host.empty()) body += " AND " + d.name("l.host") + " = " + d.name(p.text(q.host));
    if (!q.prefix.empty()) {
      const std::string pattern = d.name(p.text(like_prefix_pattern(q.prefix)));
      body += " AND (" + d.name("l.\"user\"") + " LIKE " + pattern + " ESCAPE '\\' OR " + d.name("l.host") + " LIKE " +
              pattern + " ESCAPE '\\')";
    }
    if (q.show == MapShow::Stale) body += " AND l.last_seen < " + p.number(q.stale_before);
    if (q.show == MapShow::Unproven) body += " AND " + unproven_entry(d, "l", now);
  }
};

std::string listing_order(const SqlDialect& d, const MapQuery& q) {
  const std::string by_host = d.name("l.host") + ", " + d.name("l.\"user\"") + ", " + d.name("l.domain");
  if (q.show == MapShow::Conflicts) return d.bytewise("a.address") + ", " + by_host;
  if (q.show == MapShow::Stale) return "l.last_seen, " + by_host;
  if (!q.ip.empty() || !q.user.empty())
    return "l.last_seen DESC, " + d.name("l.host") + ", " + d.name("l.domain") + ", " + d.name("l.\"user\"");
  return by_host;
}

// The entry's columns (column_values() of entry_columns()): the new id.
std::string insert_entry_sql(const SqlDialect& d) {
  std::string values;
  std::size_t n = 0;
  for (const EntryColumn& c : entry_columns()) {
    ++n;
    values += (n == 1 ? "" : ", ") + d.param(n, c.type);
  }
  return "INSERT INTO logons (" + column_names(entry_columns()) + ") VALUES (" + values + ") RETURNING id";
}

// The refreshed columns (column_values() of refreshed_columns()), then the id.
std::string update_entry_sql(const SqlDialect& d) {
  std::string set;
  std::size_t n = 0;
  for (const EntryColumn& c : refreshed_columns()) {
    ++n;
    set += std::string(n == 1 ? "" : ", ") + c.name + " = " + d.param(n, c.type);
  }
  return "UPDATE logons SET " + set + " WHERE id = " + d.param(n + 1, SqlType::Number);
}

}  // namespace

MapStatements::MapStatements(const SqlDialect& d) {
  const auto p = [&d](std::size_t n, SqlType type) { return d.param(n, type); };
  const SqlType text = SqlType::Text;
  const SqlType number = SqlType::Number;
  const SqlType truth = SqlType::Truth;
  find_entry = "SELECT " + stored_entry_columns() + " FROM logons WHERE " + same_account(d, 1, 2) + " AND " +
               host_compared(d, "=", 3) + d.lock_row();
  count_other_hosts = "SELECT count(*) FROM (SELECT 1 FROM logons WHERE " + same_account(d, 1, 2) + " AND " +
                      host_compared(d, "<>", 3) + " AND expires > " + p(4, number) + " LIMIT " + p(5, number) +
                      ") AS live";
  insert_entry = insert_entry_sql(d);
  update_entry = update_entry_sql(d);
  forget_addresses = "DELETE FROM logon_addresses WHERE logon = " + p(1, number);
  add_address = "INSERT INTO logon_addresses (address, logon, credited) VALUES (" + p(1, text) + ", " + p(2, number) +
                ", " + p(3, truth) + ")";
  remove = "DELETE FROM logons WHERE " + same_account(d, 1, 2) + " AND " + host_compared(d, "=", 3);
  purge = "DELETE FROM logons WHERE id IN (SELECT id FROM logons WHERE expires <= " + p(1, number) + d.purge_limit() +
          ") RETURNING " + column_names(entry_columns());
  add_sample = "INSERT INTO logon_samples (sampled, logged_on) VALUES (" + p(1, number) + ", " + p(2, number) +
               ") ON CONFLICT (sampled) DO NOTHING";
  forget_samples = "DELETE FROM logon_samples WHERE sampled < " + p(1, number);
  add_event = "INSERT INTO logon_events (at, kind, \"user\", domain, host, address) VALUES (" + p(1, number) + ", " +
              p(2, text) + ", " + p(3, text) + ", " + p(4, text) + ", " + p(5, text) + ", " + p(6, text) + ")";
  prune_events = "DELETE FROM logon_events WHERE id IN (SELECT id FROM logon_events WHERE at < " + p(1, number) +
                 d.purge_limit() + ")";
  note_check = "INSERT INTO map_checks (id, checked) VALUES (1, " + p(1, number) +
               ") ON CONFLICT (id) DO UPDATE SET checked = excluded.checked";
  proven = "SELECT " + proven_sql(d, p(1, text), p(2, number));
  withdraw_claims = withdraw_claims_sql(p(1, text), p(2, number));
  credited_at = credited_at_sql(d, p(1, text), p(2, number));
  credited_addresses = credited_addresses_sql(p(1, number));
  expiring_credit = expiring_credit_sql(p(1, number));
  count_current = "SELECT count(*) FROM logons WHERE expires > " + p(1, number);
  count_stale = "SELECT count(*) FROM logons WHERE last_seen < " + p(2, number) + " AND expires > " + p(1, number);
  count_conflicts = conflicts_with(d, p(1, number)) + "SELECT count(*) FROM conflicts";
  count_uncredited = "SELECT count(*) FROM logons l WHERE l.expires > " + p(1, number) +
                     " AND EXISTS (SELECT 1 FROM logon_addresses a WHERE a.logon = l.id AND a.credited = false)";
  last_change = "SELECT COALESCE(max(t), 0) FROM (SELECT max(last_seen) AS t FROM logons UNION ALL SELECT max(at) FROM"
                " logon_events) AS times";
  expire_unrefreshed = "UPDATE logons SET expires = " + p(1, number) + " WHERE expires > " + p(1, number);
  count_unproven =
      "SELECT count(*) FROM logons l WHERE l.expires > " + p(1, number) + " AND " + unproven_entry(d, "l", p(1, number));
  address_use = "SELECT count(DISTINCT " + d.folded("m.host") + "), count(DISTINCT " + folded_account(d, "m") +
                "), " + count_claims("a") + " FROM logon_addresses a" + d.entry_of("a", "m") +
                " WHERE a.address = " + p(1, text) +
                " AND m.expires > " + p(2, number);
  address_answer = "SELECT l.\"user\", l.domain, l.host FROM logon_addresses a" + d.entry_of("a", "l") +
                   " WHERE a.credited = true AND a.address = " + p(1, text) + " AND l.expires > " + p(2, number) +
                   " ORDER BY l.last_seen DESC, " + d.name("l.host") + ", " + d.name("l.domain") + ", " +
                   d.name("l.\"user\"") + " LIMIT 1";
  samples = "SELECT sampled, logged_on FROM logon_samples WHERE sampled >= " + p(1, number) + " ORDER BY sampled";
}

SqlStatement find_statement(const SqlDialect& d, const MapQuery& q, std::int64_t now) {
  SqlStatement s;
  Params p(d, &s.params);
  const Listing listing(d, q, now, p);
  // The addresses each entry is not credited at, and the address it is listed at in a listing by address.
  const bool by_address = !q.ip.empty() || q.show == MapShow::Conflicts;
  s.text = listing.with + "SELECT " + column_names(entry_columns(), "l.") + ", (SELECT " + d.comma_list("c.address") +
           " FROM logon_addresses c WHERE c.logon = l.id AND NOT c.credited), " +
           (by_address ? "a.address " : "'' ") + listing.body + " ORDER BY " + listing_order(d, q) + " LIMIT " +
           p.number(static_cast<std::int64_t>(q.limit) + 1) + " OFFSET " + p.number(static_cast<std::int64_t>(q.offset));
  return s;
}

SqlStatement count_statement(const SqlDialect& d, const MapQuery& q, std::int64_t now) {
  SqlStatement s;
  Params p(d, &s.params);
  const Listing listing(d, q, now, p);
  s.text = listing.with + "SELECT count(*) " + listing.body;
  return s;
}

LogonEntry entry_from_row(const SqlRow& row) {
  LogonEntry e;
  const int read = read_entry_columns(row, 0, &e);
  const std::vector<std::string> uncredited = split_addresses(row.text(read));
  for (const std::string& ip : e.ips) {
    const bool listed = std::find(e.uncredited.begin(), e.uncredited.end(), ip) != e.uncredited.end();
    if (!listed && std::find(uncredited.begin(), uncredited.end(), ip) != uncredited.end()) e.uncredited.push_back(ip);
  }
  e.address = row.text(read + 1);
  return e;
}

std::string stored_entry_columns(const std::string& prefix) {
  std::string out;
  for (const char* column : {"id", "ips", "peer", "relayed", "\"user\"", "domain", "host", "groups"})
    out += (out.empty() ? "" : ", ") + prefix + column;
  return out;
}

StoredEntry stored_entry_from_row(const SqlRow& row, int first) {
  const EntryNames names{row.text(first + 4), row.text(first + 5), row.text(first + 6)};
  return StoredEntry{true, row.number(first), split_addresses(row.text(first + 1)), row.text(first + 2),
                     row.truth(first + 3), names, {}, split_groups(row.text(first + 7))};
}

LogonEntry purged_entry(const SqlRow& row) {
  LogonEntry e;
  read_entry_columns(row, 0, &e);
  return e;
}
