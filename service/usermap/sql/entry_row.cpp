// An entry's row in the logons table, defined once.
#include "usermap/sql/entry_row.h"

#include "usermap/map_store.h"

namespace {

SqlValue text(std::string value) { return SqlValue{SqlType::Text, std::move(value), 0}; }
SqlValue number(std::int64_t value) { return SqlValue{SqlType::Number, {}, value}; }
SqlValue truth(bool value) { return SqlValue{SqlType::Truth, {}, value ? 1 : 0}; }

// The entry's addresses are kept as reported, comma-separated: what the pages show. Made on first
// use: the stores build their statements from it as the program starts.
const std::vector<EntryColumn>& columns() {
  static const std::vector<EntryColumn> kColumns = {
    {"\"user\"", SqlType::Text, ColumnRole::Name, nullptr, [](const LogonEntry& e) { return text(e.user); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->user = r.text(c); }},
    {"domain", SqlType::Text, ColumnRole::Name, nullptr, [](const LogonEntry& e) { return text(e.domain); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->domain = r.text(c); }},
    {"host", SqlType::Text, ColumnRole::Name, nullptr, [](const LogonEntry& e) { return text(e.host); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->host = r.text(c); }},
    {"ips", SqlType::Text, ColumnRole::Refreshed, nullptr,
     [](const LogonEntry& e) { return text(join_addresses(e.ips)); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->ips = split_addresses(r.text(c)); }},
    {"peer", SqlType::Text, ColumnRole::Refreshed, nullptr, [](const LogonEntry& e) { return text(e.peer); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->peer = r.text(c); }},
    {"persistent", SqlType::Truth, ColumnRole::Refreshed, nullptr,
     [](const LogonEntry& e) { return truth(e.persistent); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->persistent = r.truth(c); }},
    {"authenticated", SqlType::Truth, ColumnRole::Refreshed, nullptr,
     [](const LogonEntry& e) { return truth(e.authenticated); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->authenticated = r.truth(c); }},
    {"first_seen", SqlType::Number, ColumnRole::FirstSeen, nullptr,
     [](const LogonEntry& e) { return number(e.first_seen); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->first_seen = r.number(c); }},
    {"last_seen", SqlType::Number, ColumnRole::Refreshed, nullptr,
     [](const LogonEntry& e) { return number(e.last_seen); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->last_seen = r.number(c); }},
    {"expires", SqlType::Number, ColumnRole::Refreshed, nullptr, [](const LogonEntry& e) { return number(e.expires); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->expires = r.number(c); }},
    // Came through a trusted relay: its addresses count as proven.
    {"relayed", SqlType::Truth, ColumnRole::Refreshed, "false", [](const LogonEntry& e) { return truth(e.relayed); },
     [](const SqlRow& r, int c, LogonEntry* e) { e->relayed = r.truth(c); }},
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

SqlType array_of(SqlType type) {
  if (type == SqlType::Number) return SqlType::NumberArray;
  if (type == SqlType::Truth) return SqlType::TruthArray;
  return SqlType::TextArray;
}
