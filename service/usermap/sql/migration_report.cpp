// What a start that brings an older map up to date says, and the events it leaves in the history.
#include "usermap/sql/migration_report.h"

#include "usermap/history.h"

namespace {

std::string counted(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string count_entries_sql() { return "SELECT count(*) FROM logons"; }

std::string migrated_events_sql(std::int64_t at) {
  const std::string now = std::to_string(at);
  return "INSERT INTO logon_events (at, kind, \"user\", domain, host, address) SELECT " + now + ", '" + kEventMigrated +
         "', l.\"user\", l.domain, l.host, COALESCE(a.address, '') FROM logons l LEFT JOIN logon_addresses a ON"
         " a.logon = l.id WHERE l.expires > " + now + ";";
}

std::vector<CreditChangeNote> credit_change_notes() {
  return {
      // Claims were credited like proof until then.
      CreditChangeNote{3, "SELECT count(DISTINCT logon) FROM logon_addresses WHERE NOT credited",
                       "no longer credited at addresses they only claim (--credit-claims NETWORKS credits the claims "
                       "in those networks as before)"},
  };
}

std::string migration_line(std::int64_t from, int to, std::int64_t entries, const std::vector<std::string>& credit) {
  // Format 0 is a map without its number: the first format, or one written back from a dump.
  const std::string before = from == 0 ? "no format number" : "format " + std::to_string(from);
  std::string line = "brought the map from " + before + " to format " + std::to_string(to) + " (" +
                     counted(entries, "entry", "entries") + ")";
  for (const std::string& change : credit) line += "; " + change;
  return line;
}

std::string credit_change_text(std::int64_t touched, const CreditChangeNote& note) {
  return counted(touched, "entry", "entries") + " " + note.what;
}
