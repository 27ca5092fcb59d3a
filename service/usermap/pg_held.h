// The PostgreSQL store's held changes: those of a run of logins, sent together, one statement for each kind.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "usermap/history.h"
#include "usermap/map_store.h"

// Rows of values for one of the statements for many entries: each column goes as one array.
class HeldRows {
 public:
  explicit HeldRows(std::size_t columns) : columns_(columns) {}
  void add(const std::vector<std::string>& row);
  bool empty() const { return columns_[0].empty(); }
  std::vector<std::string> arrays() const;

 private:
  std::vector<std::vector<std::string>> columns_;
};

// One statement of what was held: its text, its parameters, and where the credit it answers goes
// (none: its answer is not read).
struct HeldStatement {
  std::string sql;
  std::vector<std::string> params;
  std::vector<std::vector<CreditHolder>*> after_into;
};

// The changes held for one statement each: those of a run of logins apart from each other
// (MapConnection::run_apart()), and the events. They are sent before any other statement, in the
// order of statements(), so that each login's changes run in the order it made them, and the
// events' reads of credit see them.
//
// An entry updated or given its addresses twice, or claims withdrawn twice at one address, would
// be one row changed twice by one statement: the holds_...() calls tell that what is held must be
// sent before the change is held.
class HeldChanges {
 public:
  HeldChanges();
  void hold_insert(std::int64_t id, const LogonEntry& e);
  bool holds_update(std::int64_t id) const { return updated_.count(id) > 0; }
  void hold_update(std::int64_t id, const LogonEntry& e);
  bool holds_addresses(std::int64_t id) const { return readdressed_.count(id) > 0; }
  void hold_addresses(std::int64_t id, const std::vector<AddressCredit>& addresses);
  bool holds_withdrawal(const std::string& address) const { return claimed_.count(address) > 0; }
  void hold_withdrawal(const std::string& address, std::int64_t id);
  void hold_events(const std::vector<LogonEvent>& events);
  // The changes of credit at each address, decided with the events: each `after` is filled when
  // the statement that adds them is answered.
  void hold_credit_changes(std::vector<CreditChange>* credit);
  bool empty() const;
  // The statements that send what is held, in the order they must run.
  std::vector<HeldStatement> statements() const;

 private:
  HeldRows inserts_;
  HeldRows updates_;
  HeldRows address_owners_{1};
  HeldRows addresses_{3};
  // Each withdrawal is a statement of its own: an UPDATE of the rows at several addresses is
  // planned as a join, which may read the whole table (see find_entries_sql()).
  std::vector<std::vector<std::string>> withdrawals_each_;
  // The events, and the addresses whose changes of credit are decided with them, each in its place among the events.
  HeldRows events_{7};
  HeldRows slots_{3};
  HeldRows before_{4};
  std::vector<std::vector<CreditHolder>*> after_into_;
  std::int64_t places_ = 0;
  std::set<std::int64_t> updated_;
  std::set<std::int64_t> readdressed_;
  std::set<std::string> claimed_;
};

