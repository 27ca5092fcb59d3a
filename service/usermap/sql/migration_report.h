// What a start that brings an older map up to date says, and the events it leaves in the history, in SQL every store runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>


// How many entries the map holds, live or not.
std::string count_entries_sql();

// One event of kind "migrated" at each address of every entry live at `at` (one with an empty
// address for an entry found at none), so that the question "who was at this address" names the
// entries that were there before the history knew of them.
std::string migrated_events_sql(std::int64_t at);

// A step that changed what is credited: the statement that counts, once the map is up to date, the
// entries the change touched, and what the line of the start says about them.
struct CreditChangeNote {
  int format;         // the step's (see schema_steps())
  std::string count;  // SELECT count(...): the entries touched
  std::string what;   // follows the count: what changed for them, and the option that keeps the old behaviour
};
std::vector<CreditChangeNote> credit_change_notes();
// A note's text with the count of entries it touched.
std::string credit_change_text(std::int64_t touched, const CreditChangeNote& note);

// The line of a start that migrated the map: from which format to which, how many entries, and
// what each change of credit did (in `credit`, the texts of the notes with their counts).
std::string migration_line(std::int64_t from, int to, std::int64_t entries, const std::vector<std::string>& credit);
