// The PostgreSQL store's schema: the map's tables made or brought up to date, one service at a time.
#include "usermap/pg_schema.h"

#include <cstdint>
#include <ctime>

#include "usermap/pg_dialect.h"
#include "usermap/sql/map_schema.h"
#include "usermap/sql/migration_report.h"

namespace {

// The map's layout is kept in logon_map_format; a database written by a newer service is refused.
// The first maps kept here were of format 2 of schema_steps(), which logon_map_format numbered 1:
// it keeps the format less one.
constexpr int kFormatKept = 1;

// Any number, the same in every service: the advisory lock that services starting at once take
// in turn to create the tables.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(5071996431)";

// The map's layout, then its tables; the indexes follow once an older layout is brought up to this one.
std::string tables_sql() {
  return "CREATE TABLE IF NOT EXISTS logon_map_format (format integer NOT NULL);"
         "INSERT INTO logon_map_format SELECT 1 WHERE NOT EXISTS (SELECT FROM logon_map_format);" +
         map_tables(pg_dialect());
}

// Brings a map of `format` up to this one.
std::string migration_sql(std::int64_t format) {
  std::string out;
  for (const SchemaStep& step : schema_steps(pg_dialect())) {
    if (step.format > format)
      out += "ALTER TABLE " + step.table + " ADD COLUMN IF NOT EXISTS " + step.definition + ";" + step.then;
  }
  return out + "UPDATE logon_map_format SET format = " + std::to_string(map_format(pg_dialect()) - kFormatKept) + ";";
}

// What the map relies on in the database, as found.
struct Database {
  bool existed = false;     // whether a map was there before this start
  std::int64_t format = 0;  // as schema_steps() numbers it
  std::string encoding;
  std::string fsync;
};

bool read_number(PgClient& db, const std::string& sql, std::int64_t* out, std::string* error) {
  return db.run(sql, {}, [out](const PGresult* r, int i) { *out = number_at(r, i, 0); }, error);
}

// Before the tables are made: whether the database held a map already.
bool read_existing(PgClient& db, Database* out, std::string* error) {
  std::int64_t found = 0;
  if (!read_number(db, "SELECT count(*) FROM pg_catalog.pg_tables WHERE tablename = 'logon_map_format' AND "
                       "schemaname = ANY (current_schemas(false))", &found, error))
    return false;
  out->existed = found > 0;
  return true;
}

// The line of a map brought up to date, and the events of the entries it holds, in the transaction of the migration.
bool report_migration(PgClient& db, const Database& found, std::string* notice, std::string* error) {
  std::int64_t entries = 0;
  if (!read_number(db, count_entries_sql(), &entries, error)) return false;
  std::vector<std::string> credit;
  for (const CreditChangeNote& note : credit_change_notes()) {
    std::int64_t touched = 0;
    if (note.format <= found.format) continue;
    if (!read_number(db, note.count, &touched, error)) return false;
    credit.push_back(credit_change_text(touched, note));
  }
  if (!db.script(migrated_events_sql(std::time(nullptr)), error)) return false;
  *notice = migration_line(found.format, map_format(pg_dialect()), entries, credit);
  return true;
}

bool read_database(PgClient& db, Database* out, std::string* error) {
  return db.run("SELECT max(format), current_setting('server_encoding'), current_setting('fsync')"
                " FROM logon_map_format",
                {}, [out](const PGresult* r, int i) {
                  out->format = number_at(r, i, 0) + kFormatKept;
                  out->encoding = text_at(r, i, 1);
                  out->fsync = text_at(r, i, 2);
                }, error);
}

// Brings the map up to this service's format; names arrive as UTF-8, which a database in another
// encoding would refuse some of.
bool bring_up_to_date(PgClient& db, const Database& found, std::string* error) {
  const int format = map_format(pg_dialect());
  if (found.format > format) {
    *error = "written by a newer version of the service (format " + std::to_string(found.format - kFormatKept) + ")";
    return false;
  }
  if (found.format < format && !db.script(migration_sql(found.format), error)) return false;
  if (!db.script(map_indexes(pg_dialect()), error)) return false;
  if (found.encoding == "UTF8" || found.encoding == "SQL_ASCII") return true;
  *error = "the database's encoding is " + found.encoding +
           "; the map needs UTF8 (createdb --encoding=UTF8 --template=template0)";
  return false;
}

}  // namespace

bool prepare_pg_schema(PgClient& db, std::string* notice, std::string* error) {
  Database found;
  const bool ok = db.script(std::string("BEGIN; ") + kSchemaLock, error) && read_existing(db, &found, error) &&
                  db.script(tables_sql(), error) && read_database(db, &found, error) &&
                  bring_up_to_date(db, found, error) &&
                  (!found.existed || found.format == map_format(pg_dialect()) ||
                   report_migration(db, found, notice, error)) &&
                  db.commit(error);
  if (!ok) {
    db.rollback();
    return false;
  }
  if (found.fsync == "off")
    *notice += std::string(notice->empty() ? "" : "\n") + "warning: the database server runs with fsync off, so a crash of its machine may lose logins that "
              "were acknowledged";
  return true;
}
