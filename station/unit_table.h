// The table kbupdate_units and its schema version in kbupdate_schema: made
// where missing, checked where present, one row inserted at a time with
// ON CONFLICT (unit_id) DO NOTHING, so that a row sent twice is there once.
// The schema version lets a later kbupdate migrate the table; a table of a
// layout this one does not know is refused, never written into.
#pragma once

#include <string>

#include "station/pg_link.h"
#include "station/results_reader.h"

namespace kbt::pg {

inline constexpr int kSchemaVersion = 1;

// Makes the tables where missing (with `create`), then checks the version
// and the layout. `databaseId`: the id the tables were made with, the same
// for every station that writes into them. A layout or version it does not
// know is a Refused error.
Error PrepareTable(Link& link, bool create, Clock::time_point deadline, std::string& databaseId);

// One row; `added` false when the database had it already.
Error InsertUnit(Link& link, const LoggedUnit& unit, const std::string& station,
                 Clock::time_point deadline, bool& added);

// SQLSTATE classes of a row's data that the server does not take (a date
// that does not exist, a value out of range): the row is refused, the
// connection stays good.
bool RowRefused(const Error& e);

}  // namespace kbt::pg
