// The SQL that reads the map's history, for every store (see usermap/history.h).
#pragma once

#include "usermap/history.h"
#include "usermap/sql/map_sql.h"

// A page of events, newest first: at most limit + 1 rows (the extra one tells that another page
// follows), from offset on, as event_from_row reads them.
SqlStatement history_statement(const SqlDialect& d, const HistoryQuery& q);
// The entries that held an address at a moment, as holder_from_row reads them: each with the
// event that put it there last, those credited there first, then the most recent.
SqlStatement holders_statement(const SqlDialect& d, const HolderQuery& q);

LogonEvent event_from_row(const SqlRow& row);
LogonEvent holder_from_row(const SqlRow& row);
