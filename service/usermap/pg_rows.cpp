// How the PostgreSQL store's rows become the map's records, and its records parameters.
#include "usermap/pg_rows.h"

const char* truth_text(bool value) { return value ? "t" : "f"; }

std::string param_text(const SqlValue& value) {
  if (value.type == SqlType::Text) return value.text;
  if (value.type == SqlType::Truth) return truth_text(value.number != 0);
  return std::to_string(value.number);
}

std::vector<std::string> param_texts(const std::vector<SqlValue>& values) {
  std::vector<std::string> out;
  for (const SqlValue& value : values) out.push_back(param_text(value));
  return out;
}

std::vector<std::string> column_texts(std::vector<std::string> first, const std::vector<EntryColumn>& columns,
                                      const LogonEntry& e) {
  for (const SqlValue& value : column_values(columns, e)) first.push_back(param_text(value));
  return first;
}

StoredEntry stored_entry_at(const PGresult* r, int i, int first) {
  StoredEntry out = stored_entry_from_row(ResultRow(r, i), first);
  out.credited = split_addresses(text_at(r, i, first + kStoredEntryColumns));
  return out;
}

RowReader holder_reader(std::vector<CreditHolder>* out) {
  return [out](const PGresult* r, int i) {
    out->push_back(CreditHolder{text_at(r, i, 0), text_at(r, i, 1), text_at(r, i, 2)});
  };
}

RowReader holders_by_order(const std::vector<std::vector<CreditHolder>*>& outs) {
  return [outs](const PGresult* r, int i) {
    const auto at = static_cast<std::size_t>(number_at(r, i, 0) - 1);
    if (at < outs.size()) outs[at]->push_back(CreditHolder{text_at(r, i, 1), text_at(r, i, 2), text_at(r, i, 3)});
  };
}
