// The user map's SQL, written once for every store.
#include "usermap/sql/map_sql.h"

#include <algorithm>

#include "usermap/sql/address_rule.h"
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

const char* const kEntryColumns =
    "l.\"user\", l.domain, l.host, l.ips, l.peer, l.persistent, l.authenticated, l.first_seen, l.last_seen, l.expires,"
    " l.relayed";

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

// The addresses in conflict (see AddressUse): only addresses with more than one entry are looked at.
std::string conflicts_with(const SqlDialect& d, const std::string& now) {
  return "WITH shared AS (SELECT address FROM logon_addresses GROUP BY address HAVING count(*) > 1),"
         " conflicts AS (SELECT s.address FROM shared s JOIN logon_addresses c ON c.address = s.address" +
         d.entry_of("c", "m") + " WHERE m.expires > " + now + " GROUP BY s.address"
         " HAVING count(DISTINCT " + d.folded("m.host") + ") > 1 AND count(DISTINCT " + folded_account(d, "m") +
         ") > 1) ";
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
  }
};

// What happened to the entries, one row per event and address (see usermap/history.h). Who was
// at an address at a moment is read through the address index; whether that entry moved on or
// ended since, through the index by entry; a page of events, through the index on the time.
std::string history_tables(const SqlDialect& d) {
  return "CREATE TABLE IF NOT EXISTS logon_events ("
         " id " + d.id_column() + ","
         " at " + d.number_column() + " NOT NULL,"
         " kind TEXT NOT NULL,"
         " \"user\" " + d.name_column() + ","
         " domain " + d.name_column() + ","
         " host " + d.name_column() + ","
         " address TEXT NOT NULL);"
         "CREATE INDEX IF NOT EXISTS logon_events_by_address ON logon_events (address, at);"
         "CREATE INDEX IF NOT EXISTS logon_events_by_time ON logon_events (at);"
         "CREATE INDEX IF NOT EXISTS logon_events_by_entry ON logon_events (" + d.name("host") + ", " +
         d.name("\"user\"") + ", " + d.name("domain") + ", at);";
}

std::string listing_order(const SqlDialect& d, const MapQuery& q) {
  const std::string by_host = d.name("l.host") + ", " + d.name("l.\"user\"") + ", " + d.name("l.domain");
  if (q.show == MapShow::Conflicts) return d.bytewise("a.address") + ", " + by_host;
  if (q.show == MapShow::Stale) return "l.last_seen, " + by_host;
  if (!q.ip.empty() || !q.user.empty())
    return "l.last_seen DESC, " + d.name("l.host") + ", " + d.name("l.domain") + ", " + d.name("l.\"user\"");
  return by_host;
}

}  // namespace

std::string map_tables(const SqlDialect& d) {
  return "CREATE TABLE IF NOT EXISTS logons ("
         " id " + d.id_column() + ","
         " \"user\" " + d.name_column() + ","
         " domain " + d.name_column() + ","
         " host " + d.name_column() + ","
         " ips TEXT NOT NULL,"  // as reported, comma-separated: what the pages show
         " peer TEXT NOT NULL,"
         " persistent " + d.truth_column() + " NOT NULL,"
         " authenticated " + d.truth_column() + " NOT NULL,"
         " first_seen " + d.number_column() + " NOT NULL,"
         " last_seen " + d.number_column() + " NOT NULL,"
         " expires " + d.number_column() + " NOT NULL,"
         // Came through a trusted relay: its addresses count as proven.
         " relayed " + d.truth_column() + " NOT NULL DEFAULT false" + d.unique_names_in_table() + ");" +
         d.unique_names_index() +
         // The addresses each entry reported (or its peer), one row per entry and address; it is
         // found where it is credited (see address_rule.h).
         "CREATE TABLE IF NOT EXISTS logon_addresses ("
         " address TEXT NOT NULL,"
         " logon " + d.number_column() + " NOT NULL REFERENCES logons (id) ON DELETE CASCADE,"
         " credited " + d.truth_column() + " NOT NULL DEFAULT false,"
         " PRIMARY KEY (address, logon))" + d.keyed_table_end() + ";";
}

std::string map_indexes(const SqlDialect& d) {
  return
      // The purge finds expired entries through this index instead of reading the whole map.
      "CREATE INDEX IF NOT EXISTS logons_by_expiry ON logons (expires);"
      "CREATE INDEX IF NOT EXISTS logon_addresses_by_logon ON logon_addresses (logon);"
      // Who is credited at an address, without the claims there: a lookup, and the writer's
      // reads of credit before and after a change, read only these rows (credited = true, which
      // SQLite matches to the index where a bare truth value is not), however many entries claim
      // the address (all the PCs behind one NAT).
      "CREATE INDEX IF NOT EXISTS logon_addresses_credited ON logon_addresses (credited, address);"
      // Whether a live entry came from an address, read from the index alone.
      "CREATE INDEX IF NOT EXISTS logons_by_peer ON logons (peer, expires);"
      // Listings go by host, so that the entries of one host follow each other; the stale entries
      // are counted and listed through the time they were last seen.
      "CREATE INDEX IF NOT EXISTS logons_by_host ON logons (" + d.name("host") + ", " + d.name("\"user\"") + ", " +
      d.name("domain") + ");"
      "CREATE INDEX IF NOT EXISTS logons_by_last_seen ON logons (last_seen, expires);"
      // How many entries were current, one row per sampling period, for the picture of the last day.
      "CREATE TABLE IF NOT EXISTS logon_samples (sampled " + d.number_column() + " PRIMARY KEY, logged_on " +
      d.number_column() + " NOT NULL);"
      // The health check's write.
      "CREATE TABLE IF NOT EXISTS map_checks (id integer PRIMARY KEY, checked " + d.number_column() + " NOT NULL);" +
      history_tables(d);
}

MapStatements::MapStatements(const SqlDialect& d) {
  const auto p = [&d](std::size_t n, SqlType type) { return d.param(n, type); };
  const SqlType text = SqlType::Text;
  const SqlType number = SqlType::Number;
  const SqlType truth = SqlType::Truth;
  find_entry = "SELECT id, ips, peer, relayed, \"user\", domain, host FROM logons WHERE " + same_account(d, 1, 2) + " AND " +
               host_compared(d, "=", 3) + d.lock_row();
  count_other_hosts = "SELECT count(*) FROM (SELECT 1 FROM logons WHERE " + same_account(d, 1, 2) + " AND " +
                      host_compared(d, "<>", 3) + " AND expires > " + p(4, number) + " LIMIT " + p(5, number) +
                      ") AS live";
  insert_entry = "INSERT INTO logons (\"user\", domain, host, ips, peer, persistent, authenticated, first_seen,"
                 " last_seen, expires, relayed) VALUES (" + p(1, text) + ", " + p(2, text) + ", " + p(3, text) + ", " +
                 p(4, text) + ", " + p(5, text) + ", " + p(6, truth) + ", " + p(7, truth) + ", " + p(8, number) + ", " +
                 p(9, number) + ", " + p(10, number) + ", " + p(11, truth) + ") RETURNING id";
  update_entry = "UPDATE logons SET ips = " + p(1, text) + ", peer = " + p(2, text) + ", persistent = " + p(3, truth) +
                 ", authenticated = " + p(4, truth) + ", last_seen = " + p(5, number) + ", expires = " + p(6, number) +
                 ", relayed = " + p(7, truth) + " WHERE id = " + p(8, number);
  forget_addresses = "DELETE FROM logon_addresses WHERE logon = " + p(1, number);
  add_address = "INSERT INTO logon_addresses (address, logon, credited) VALUES (" + p(1, text) + ", " + p(2, number) +
                ", " + p(3, truth) + ")";
  remove = "DELETE FROM logons WHERE " + same_account(d, 1, 2) + " AND " + host_compared(d, "=", 3);
  purge = "DELETE FROM logons WHERE id IN (SELECT id FROM logons WHERE expires <= " + p(1, number) + d.purge_limit() +
          ") RETURNING \"user\", domain, host, last_seen, expires, ips, peer";
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
  address_use = "SELECT count(DISTINCT " + d.folded("l.host") + "), count(DISTINCT " + folded_account(d, "l") +
                ") FROM logon_addresses a" + d.entry_of("a", "l") + " WHERE a.address = " + p(1, text) +
                " AND l.expires > " + p(2, number);
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
  s.text = listing.with + "SELECT " + kEntryColumns + ", (SELECT " + d.comma_list("c.address") +
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
  e.user = row.text(0);
  e.domain = row.text(1);
  e.host = row.text(2);
  e.ips = split_addresses(row.text(3));
  e.peer = row.text(4);
  e.persistent = row.truth(5);
  e.authenticated = row.truth(6);
  e.first_seen = row.number(7);
  e.last_seen = row.number(8);
  e.expires = row.number(9);
  e.relayed = row.truth(10);
  const std::vector<std::string> uncredited = split_addresses(row.text(11));
  for (const std::string& ip : e.ips) {
    const bool listed = std::find(e.uncredited.begin(), e.uncredited.end(), ip) != e.uncredited.end();
    if (!listed && std::find(uncredited.begin(), uncredited.end(), ip) != uncredited.end()) e.uncredited.push_back(ip);
  }
  e.address = row.text(12);
  return e;
}
