// The PostgreSQL store's held changes: those of a run of logins, sent together, one statement for each kind.
#include "usermap/pg_held.h"

#include "usermap/pg_client.h"
#include "usermap/pg_dialect.h"
#include "usermap/pg_rows.h"
#include "usermap/sql/address_rule.h"

namespace {

// The writer's statements for many entries at once, each array one column, its rows in order.

// The arrays of the columns' values, as parameters from $`first` on, comma-separated.
std::string array_params(const std::vector<EntryColumn>& columns, std::size_t first) {
  std::string out;
  for (const EntryColumn& c : columns) out += (out.empty() ? "" : ", ") + pg_dialect().param(first++, array_of(c.type));
  return out;
}

// The new entries: their keys ($1), then the entry's columns.
const std::string& insert_entries_sql() {
  static const std::string kSql =
      "INSERT INTO logons (id, " + column_names(entry_columns()) + ") OVERRIDING SYSTEM VALUE SELECT * FROM unnest("
      "$1::bigint[], " + array_params(entry_columns(), 2) + ")";
  return kSql;
}

// The entries refreshed: their keys ($1), then the columns a refresh writes.
const std::string& update_entries_sql() {
  static const std::string kSql = [] {
    std::string set;
    for (const EntryColumn& c : refreshed_columns())
      set += std::string(set.empty() ? "" : ", ") + c.name + " = n." + c.name;
    return "UPDATE logons SET " + set + " FROM unnest($1::bigint[], " + array_params(refreshed_columns(), 2) +
           ") AS n (id, " + column_names(refreshed_columns()) + ") WHERE logons.id = n.id";
  }();
  return kSql;
}

// Each withdrawal of claims: the address ($1) and the entry that proves it ($2).
const std::string& withdraw_sql() {
  static const std::string kSql =
      withdraw_claims_sql(pg_dialect().param(1, SqlType::Text), pg_dialect().param(2, SqlType::Number));
  return kSql;
}

// The addresses of the entries $1 become the rows ($2, $3, $4): the others go, the new ones come,
// and those whose credit changed are updated.
constexpr const char* kSetAddresses =
    "WITH n AS (SELECT * FROM unnest($2::bigint[], $3::text[], $4::boolean[]) AS n (logon, address, credited)),"
    " gone AS (DELETE FROM logon_addresses a WHERE a.logon = ANY ($1::bigint[]) AND NOT EXISTS (SELECT 1 FROM n"
    " WHERE n.logon = a.logon AND n.address = a.address)) INSERT INTO logon_addresses (address, logon, credited)"
    " SELECT address, logon, credited FROM n ON CONFLICT (address, logon) DO UPDATE SET credited = excluded.credited"
    " WHERE logon_addresses.credited <> excluded.credited";
// The events given ($1 to $6, each with its place $7), and the changes of credit at the addresses
// given ($8 at $9, in place $10), where who was credited before is given ($11: which of those
// addresses, $12 to $14: the entry): at each, an uncredited event for each entry no longer
// credited there, then a credited one for each newly credited, as credit_events() makes them.
// Answers who is credited at each of those addresses now, as credited_at_many_sql() does: so the events of
// a change wait for no answer, and the credit it made is known with the commit.
const std::string& add_events_sql() {
  static const std::string kSql =
    "WITH slot AS (SELECT * FROM unnest($8::text[], $9::bigint[], $10::bigint[]) WITH ORDINALITY AS s (address, at,"
    " place, ord)), before AS (SELECT * FROM unnest($11::bigint[], $12::text[], $13::text[], $14::text[]) AS b (ord,"
    " u, d, h)), after AS (SELECT s.ord, c.* FROM slot s CROSS JOIN LATERAL (" +
    credited_at_sql(pg_dialect(), "s.address", "s.at") + " OFFSET 0) AS c), added AS (INSERT INTO logon_events (at,"
    " kind, \"user\", domain, host, address) SELECT at,"
    " kind, u, d, h, a FROM (SELECT *, 0 AS side FROM unnest($1::bigint[], $2::text[], $3::text[], $4::text[],"
    " $5::text[], $6::text[], $7::bigint[]) AS e (at, kind, u, d, h, a, place) UNION ALL"
    " SELECT s.at, 'uncredited', b.u, b.d, b.h, s.address, s.place, 1 FROM before b JOIN slot s ON s.ord = b.ord"
    " WHERE NOT EXISTS (SELECT FROM after x WHERE x.ord = b.ord AND x.\"user\" = b.u AND x.domain = b.d AND"
    " x.host = b.h) UNION ALL SELECT s.at, 'credited', x.\"user\", x.domain, x.host, s.address, s.place, 2 FROM"
    " after x JOIN slot s ON s.ord = x.ord WHERE NOT EXISTS (SELECT FROM before b WHERE b.ord = x.ord AND"
    " b.u = x.\"user\" AND b.d = x.domain AND b.h = x.host)) AS e ORDER BY place, side, u COLLATE \"C\","
    " d COLLATE \"C\", h COLLATE \"C\") SELECT * FROM after";
  return kSql;
}


}  // namespace

void HeldRows::add(const std::vector<std::string>& row) {
  for (std::size_t c = 0; c < columns_.size(); ++c) columns_[c].push_back(row[c]);
}

std::vector<std::string> HeldRows::arrays() const {
  std::vector<std::string> out;
  for (const std::vector<std::string>& column : columns_) out.push_back(text_array(column));
  return out;
}

HeldChanges::HeldChanges() : inserts_(1 + entry_columns().size()), updates_(1 + refreshed_columns().size()) {}

void HeldChanges::hold_insert(std::int64_t id, const LogonEntry& e) {
  inserts_.add(column_texts({std::to_string(id)}, entry_columns(), e));
}

void HeldChanges::hold_update(std::int64_t id, const LogonEntry& e) {
  updated_.insert(id);
  updates_.add(column_texts({std::to_string(id)}, refreshed_columns(), e));
}

void HeldChanges::hold_addresses(std::int64_t id, const std::vector<AddressCredit>& addresses) {
  readdressed_.insert(id);
  address_owners_.add({std::to_string(id)});
  for (const AddressCredit& a : addresses) addresses_.add({std::to_string(id), a.address, truth_text(a.credited)});
}

void HeldChanges::hold_withdrawal(const std::string& address, std::int64_t id) {
  claimed_.insert(address);
  withdrawals_each_.push_back({address, std::to_string(id)});
}

void HeldChanges::hold_events(const std::vector<LogonEvent>& events) {
  for (const LogonEvent& e : events)
    events_.add({std::to_string(e.at), e.kind, e.user, e.domain, e.host, e.address, std::to_string(++places_)});
}

void HeldChanges::hold_credit_changes(std::vector<CreditChange>* credit) {
  for (CreditChange& c : *credit) {
    c.after.clear();
    after_into_.push_back(&c.after);
    slots_.add({c.address, std::to_string(c.at), std::to_string(++places_)});
    for (const CreditHolder& h : c.before)
      before_.add({std::to_string(after_into_.size()), h.user, h.domain, h.host});
  }
}

bool HeldChanges::empty() const {
  return inserts_.empty() && updates_.empty() && address_owners_.empty() && withdrawals_each_.empty() &&
         events_.empty() && slots_.empty();
}

std::vector<HeldStatement> HeldChanges::statements() const {
  std::vector<HeldStatement> out;
  if (!inserts_.empty()) out.push_back({insert_entries_sql(), inserts_.arrays(), {}});
  if (!updates_.empty()) out.push_back({update_entries_sql(), updates_.arrays(), {}});
  if (!address_owners_.empty()) {
    std::vector<std::string> params = address_owners_.arrays();
    const std::vector<std::string> rows = addresses_.arrays();
    params.insert(params.end(), rows.begin(), rows.end());
    out.push_back({kSetAddresses, params, {}});
  }
  for (const std::vector<std::string>& withdrawal : withdrawals_each_)
    out.push_back({withdraw_sql(), withdrawal, {}});
  if (events_.empty() && slots_.empty()) return out;
  std::vector<std::string> params = events_.arrays();
  for (const HeldRows* rows : {&slots_, &before_}) {
    const std::vector<std::string> arrays = rows->arrays();
    params.insert(params.end(), arrays.begin(), arrays.end());
  }
  out.push_back({add_events_sql(), params, after_into_});
  return out;
}
