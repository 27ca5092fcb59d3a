// An entry's row in the logons table, defined once: each column's name, type and how it is read and written.
#pragma once

#include <string>
#include <vector>

#include "usermap/map_types.h"
#include "usermap/sql/map_sql.h"

// What a refresh of the entry does with a column: the names and the time first seen stay as the
// entry was first recorded; everything else is what the login reports now.
enum class ColumnRole { Name, FirstSeen, Refreshed };

// One column of an entry's row. Every statement that writes or reads a whole entry, in every
// store, takes its columns, their order and their types from entry_columns().
struct EntryColumn {
  const char* name;   // as the SQL writes it
  SqlType type;       // Text, Number or Truth
  ColumnRole role;
  const char* fill;   // what the rows that were there before the column get: a column added to older maps needs one
  SqlValue (*value)(const LogonEntry& e);
  void (*read)(const SqlRow& row, int column, LogonEntry* e);
};

const std::vector<EntryColumn>& entry_columns();
// The columns a refresh writes, in the order of entry_columns().
std::vector<EntryColumn> refreshed_columns();
const EntryColumn* entry_column(const std::string& name);

// The column's part of CREATE TABLE, and all the columns' parts, comma-separated.
std::string column_definition(const SqlDialect& d, const EntryColumn& c);
std::string entry_column_definitions(const SqlDialect& d);
// The columns' names, comma-separated, each after `prefix` (a table's alias and a dot, or nothing).
std::string column_names(const std::vector<EntryColumn>& columns, const std::string& prefix = "");

// The entry's values for `columns`, in their order.
std::vector<SqlValue> column_values(const std::vector<EntryColumn>& columns, const LogonEntry& e);
// The entry's columns of a row, read from column `first` on: how many it read.
int read_entry_columns(const SqlRow& row, int first, LogonEntry* e);

// An entry's groups as a column holds them: "SID=DOMAIN\\Name" or "SID", comma-separated (neither
// a SID nor a group's name may hold a comma or an equals sign).
std::string join_groups(const std::vector<EntryGroup>& groups);
std::vector<EntryGroup> split_groups(const std::string& text);

// The type of an array of values of `type`.
SqlType array_of(SqlType type);
