// An entry's row in the logons table, defined once.
#include "usermap/sql/entry_row.h"

#include "usermap/map_store.h"

namespace {

// A column that holds one of the entry's fields as it is.
template <std::string LogonEntry::*field>
EntryColumn text_column(const char* name, ColumnRole role, const char* fill = nullptr) {
  return {name, SqlType::Text, role, fill, [](const LogonEntry& e) { return SqlValue{SqlType::Text, e.*field, 0}; },
          [](const SqlRow& r, int c, LogonEntry* e) { e->*field = r.text(c); }};
}

template <std::int64_t LogonEntry::*field>
EntryColumn number_column(const char* name, ColumnRole role, const char* fill = nullptr) {
  return {name, SqlType::Number, role, fill,
          [](const LogonEntry& e) { return SqlValue{SqlType::Number, {}, e.*field}; },
          [](const SqlRow& r, int c, LogonEntry* e) { e->*field = r.number(c); }};
}

template <bool LogonEntry::*field>
EntryColumn truth_column(const char* name, ColumnRole role, const char* fill = nullptr) {
  return {name, SqlType::Truth, role, fill,
          [](const LogonEntry& e) { return SqlValue{SqlType::Truth, {}, e.*field ? 1 : 0}; },
          [](const SqlRow& r, int c, LogonEntry* e) { e->*field = r.truth(c); }};
}

// A list of addresses, kept as reported, comma-separated: what the pages show.
template <std::vector<std::string> LogonEntry::*field>
EntryColumn addresses_column(const char* name, ColumnRole role, const char* fill = nullptr) {
  return {name, SqlType::Text, role, fill,
          [](const LogonEntry& e) { return SqlValue{SqlType::Text, join_addresses(e.*field), 0}; },
          [](const SqlRow& r, int c, LogonEntry* e) { e->*field = split_addresses(r.text(c)); }};
}

EntryColumn groups_column(const char* name, ColumnRole role, const char* fill) {
  return {name, SqlType::Text, role, fill,
          [](const LogonEntry& e) { return SqlValue{SqlType::Text, join_groups(e.groups), 0}; },
          [](const SqlRow& r, int c, LogonEntry* e) { e->groups = split_groups(r.text(c)); }};
}

// Made on first use: the stores build their statements from it as the program starts. A column
// added to older maps by a step (see map_schema.h) says what the rows already there get.
const std::vector<EntryColumn>& columns() {
  static const std::vector<EntryColumn> kColumns = {
      text_column<&LogonEntry::user>("\"user\"", ColumnRole::Name),
      text_column<&LogonEntry::domain>("domain", ColumnRole::Name),
      text_column<&LogonEntry::host>("host", ColumnRole::Name),
      addresses_column<&LogonEntry::ips>("ips", ColumnRole::Refreshed),
      text_column<&LogonEntry::peer>("peer", ColumnRole::Refreshed),
      truth_column<&LogonEntry::persistent>("persistent", ColumnRole::Refreshed),
      truth_column<&LogonEntry::authenticated>("authenticated", ColumnRole::Refreshed),
      number_column<&LogonEntry::first_seen>("first_seen", ColumnRole::FirstSeen),
      number_column<&LogonEntry::last_seen>("last_seen", ColumnRole::Refreshed),
      number_column<&LogonEntry::expires>("expires", ColumnRole::Refreshed),
      // Came through a trusted relay: its addresses count as proven.
      truth_column<&LogonEntry::relayed>("relayed", ColumnRole::Refreshed, "false"),
      // What the last logon proved: an entry recorded before groups were kept has none until its refresh.
      groups_column("groups", ColumnRole::Refreshed, "''"),
  };
  return kColumns;
}

std::string column_type(const SqlDialect& d, const EntryColumn& c) {
  if (c.role == ColumnRole::Name) return d.name_column();
  if (c.type == SqlType::Truth) return d.truth_column() + " NOT NULL";
  if (c.type == SqlType::Number) return d.number_column() + " NOT NULL";
  return "TEXT NOT NULL";
}

}  // namespace

const std::vector<EntryColumn>& entry_columns() { return columns(); }

std::vector<EntryColumn> refreshed_columns() {
  std::vector<EntryColumn> out;
  for (const EntryColumn& c : columns()) {
    if (c.role == ColumnRole::Refreshed) out.push_back(c);
  }
  return out;
}

const EntryColumn* entry_column(const std::string& name) {
  for (const EntryColumn& c : columns()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

std::string column_definition(const SqlDialect& d, const EntryColumn& c) {
  return std::string(c.name) + " " + column_type(d, c) + (c.fill != nullptr ? std::string(" DEFAULT ") + c.fill : "");
}

std::string entry_column_definitions(const SqlDialect& d) {
  std::string out;
  for (const EntryColumn& c : columns()) out += (out.empty() ? "" : ", ") + column_definition(d, c);
  return out;
}

std::string column_names(const std::vector<EntryColumn>& columns, const std::string& prefix) {
  std::string out;
  for (const EntryColumn& c : columns) out += (out.empty() ? "" : ", ") + prefix + c.name;
  return out;
}

std::vector<SqlValue> column_values(const std::vector<EntryColumn>& columns, const LogonEntry& e) {
  std::vector<SqlValue> out;
  for (const EntryColumn& c : columns) out.push_back(c.value(e));
  return out;
}

int read_entry_columns(const SqlRow& row, int first, LogonEntry* e) {
  int column = first;
  for (const EntryColumn& c : columns()) c.read(row, column++, e);
  return column - first;
}

std::string join_groups(const std::vector<EntryGroup>& groups) {
  std::string out;
  for (const EntryGroup& g : groups) out += (out.empty() ? "" : ",") + g.sid + (g.name.empty() ? "" : "=" + g.name);
  return out;
}

std::vector<EntryGroup> split_groups(const std::string& text) {
  std::vector<EntryGroup> out;
  for (const std::string& item : split_addresses(text)) {
    const std::size_t equals = item.find('=');
    out.push_back(EntryGroup{item.substr(0, equals), equals == std::string::npos ? "" : item.substr(equals + 1)});
  }
  return out;
}

SqlType array_of(SqlType type) {
  if (type == SqlType::Number) return SqlType::NumberArray;
  if (type == SqlType::Truth) return SqlType::TruthArray;
  return SqlType::TextArray;
}
