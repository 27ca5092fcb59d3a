// How the PostgreSQL store's rows become the map's records, and its records parameters.
#pragma once

#include <string>
#include <vector>

#include "usermap/map_store.h"
#include "usermap/pg_client.h"
#include "usermap/sql/entry_row.h"

// One row of a result.
class ResultRow : public SqlRow {
 public:
  ResultRow(const PGresult* result, int row) : result_(result), row_(row) {}
  std::string text(int column) const override { return text_at(result_, row_, column); }
  std::int64_t number(int column) const override { return number_at(result_, row_, column); }
  bool truth(int column) const override { return text_at(result_, row_, column) == "t"; }

 private:
  const PGresult* result_;
  int row_;
};

// A truth value as the server reads it in text.
const char* truth_text(bool value);
// A parameter's value as the server reads it in text.
std::string param_text(const SqlValue& value);
std::vector<std::string> param_texts(const std::vector<SqlValue>& values);
// `first`, then the entry's values for `columns`, each as a parameter's text.
std::vector<std::string> column_texts(std::vector<std::string> first, const std::vector<EntryColumn>& columns,
                                      const LogonEntry& e);

// A stored entry from the columns of find_entries_sql() after its place, from `first` on.
StoredEntry stored_entry_at(const PGresult* r, int i, int first);
// Adds each row's user, domain and host to `out`.
RowReader holder_reader(std::vector<CreditHolder>* out);
// The holders of a read of several addresses, each row after the place of its address in `outs`.
RowReader holders_by_order(const std::vector<std::vector<CreditHolder>*>& outs);
