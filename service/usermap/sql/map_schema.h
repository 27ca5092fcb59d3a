// The user map's schema, written once for every store: its tables, and the steps that bring an older map up to date.
#pragma once

#include <string>
#include <vector>

#include "usermap/sql/map_sql.h"

// The tables of the entries and their addresses, created when they are missing; then the indexes
// and the other tables.
std::string map_tables(const SqlDialect& d);
std::string map_indexes(const SqlDialect& d);

// One change of the map's layout since format 1, the first whose entries had keys and their
// addresses a table of their own: what brings a map of an earlier format up to `format`. A store
// creates the tables (map_tables()) first, then, for each step past the map's format, in order,
// adds the column unless the table has it already, then runs `then`; then it makes the indexes.
struct SchemaStep {
  int format;
  std::string table;       // the table the column is added to
  std::string column;      // its name
  std::string definition;  // as CREATE TABLE writes it: with what the rows already there get
  std::string then;        // statements that bring the rows already there up to the step
};
std::vector<SchemaStep> schema_steps(const SqlDialect& d);

// The format of the map this service writes: that of the last step.
int map_format(const SqlDialect& d);
