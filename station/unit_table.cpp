#include "station/unit_table.h"

#include <utility>
#include <vector>

#include "station/unit_id.h"

namespace kbt::pg {
namespace {

// Two stations starting at once against an empty database: one makes the
// tables, the other waits for it and finds them (CREATE TABLE IF NOT EXISTS
// alone races on the catalogue).
const char kLock[] = "SELECT pg_advisory_xact_lock(7171551402)";

const char kCreate[] =
    "CREATE TABLE kbupdate_units ("
    " unit_id uuid PRIMARY KEY,"
    " station text NOT NULL,"
    " \"time\" timestamptz NOT NULL,"
    " location text NOT NULL,"
    " serial text NOT NULL,"
    " result text NOT NULL CHECK (result IN ('PASS', 'FAIL')),"
    " duration_ms bigint NOT NULL,"
    " firmware text NOT NULL,"
    " image_sha256 text NOT NULL,"
    " counter integer,"
    " reason text NOT NULL);"
    "CREATE INDEX kbupdate_units_time ON kbupdate_units (\"time\");";

const char kCreateSchema[] =
    "CREATE TABLE kbupdate_schema (version integer NOT NULL, database_id uuid NOT NULL)";

const std::pair<const char*, const char*> kColumns[] = {
    {"unit_id", "uuid"},       {"station", "text"},  {"time", "timestamp with time zone"},
    {"location", "text"},      {"serial", "text"},   {"result", "text"},
    {"duration_ms", "bigint"}, {"firmware", "text"}, {"image_sha256", "text"},
    {"counter", "integer"},    {"reason", "text"},
};

Error Refused(const Link& link, const std::string& why) {
  return Error::Of(Error::Kind::Refused, link.Server() + ": " + why);
}

Error CheckLayout(Link& link, Clock::time_point deadline) {
  Rows columns;
  if (Error e =
          link.Exec("SELECT a.attname, format_type(a.atttypid, a.atttypmod) FROM pg_attribute a"
                    " WHERE a.attrelid = to_regclass('kbupdate_units') AND a.attnum > 0"
                    " AND NOT a.attisdropped ORDER BY a.attnum",
                    {}, deadline, &columns))
    return e;
  std::string got, want;
  for (int i = 0; i < columns.Count(); ++i)
    got += (i ? ", " : "") + columns.At(i, 0) + " " + columns.At(i, 1);
  bool first = true;
  for (const auto& [name, type] : kColumns) {
    want += (first ? "" : ", ") + std::string(name) + " " + type;
    first = false;
  }
  if (got != want)
    return Refused(link, "table kbupdate_units has a layout this kbupdate does not know (" + got +
                             "; it writes " + want + ")");
  Rows keyed;
  if (Error e =
          link.Exec("SELECT count(*) FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid"
                    " AND a.attnum = i.indkey[0] WHERE i.indrelid = to_regclass('kbupdate_units')"
                    " AND i.indisunique AND i.indnatts = 1 AND a.attname = 'unit_id'",
                    {}, deadline, &keyed))
    return e;
  if (keyed.At(0, 0) == "0")
    return Refused(link, "table kbupdate_units has no unique key on unit_id");
  return {};
}

Error Setup(Link& link, bool create, Clock::time_point deadline) {
  if (Error e = link.Exec(kLock, {}, deadline)) return e;
  Rows present;
  if (Error e = link.Exec("SELECT to_regclass('kbupdate_units') IS NOT NULL, "
                          "to_regclass('kbupdate_schema') IS NOT NULL",
                          {}, deadline, &present))
    return e;
  const bool units = present.At(0, 0) == "t";
  const bool schema = present.At(0, 1) == "t";
  if (!units && schema) return Refused(link, "table kbupdate_schema stands without kbupdate_units");
  if (!units && !create)
    return Refused(link, "no table kbupdate_units (no station has sent a unit there yet)");
  if (!units) {
    if (Error e = link.Exec(kCreate, {}, deadline)) return e;
  } else if (!schema) {
    // Made by hand: taken as ours only in our layout.
    if (Error e = CheckLayout(link, deadline)) return e;
  }
  if (!schema) {
    if (!create) return Refused(link, "no table kbupdate_schema beside kbupdate_units");
    if (Error e = link.Exec(kCreateSchema, {}, deadline)) return e;
    if (Error e = link.Exec("INSERT INTO kbupdate_schema (version, database_id) VALUES ($1, $2)",
                            {std::to_string(kSchemaVersion), NewUnitId()}, deadline))
      return e;
  }
  return {};
}

}  // namespace

bool RowRefused(const Error& e) {
  return e.kind == Error::Kind::Server &&
         (e.sqlstate.rfind("22", 0) == 0 || e.sqlstate == "23502" || e.sqlstate == "23514");
}

Error PrepareTable(Link& link, bool create, Clock::time_point deadline, std::string& databaseId) {
  if (Error e = link.Exec("BEGIN", {}, deadline)) return e;
  Error e = Setup(link, create, deadline);
  if (!e) e = link.Exec("COMMIT", {}, deadline);
  if (e) {
    (void)link.Exec("ROLLBACK", {}, deadline);
    return e.kind == Error::Kind::Server ? Refused(link, e.text) : e;
  }
  Rows version;
  if (Error v =
          link.Exec("SELECT version, database_id FROM kbupdate_schema", {}, deadline, &version))
    return v.kind == Error::Kind::Server ? Refused(link, v.text) : v;
  if (version.Count() != 1)
    return Refused(link, "table kbupdate_schema holds " + std::to_string(version.Count()) +
                             " rows where it should hold one");
  if (version.At(0, 0) != std::to_string(kSchemaVersion))
    return Refused(link, "the tables are of schema version " + version.At(0, 0) +
                             "; this kbupdate knows version " + std::to_string(kSchemaVersion) +
                             " (a newer kbupdate made them?)");
  databaseId = version.At(0, 1);
  if (Error c = CheckLayout(link, deadline))
    return c.kind == Error::Kind::Server ? Refused(link, c.text) : c;
  return {};
}

Error InsertUnit(Link& link, const LoggedUnit& u, const std::string& station,
                 Clock::time_point deadline, bool& added) {
  Rows rows;
  Error e = link.Exec(
      "INSERT INTO kbupdate_units (unit_id, station, \"time\", location, serial, result,"
      " duration_ms, firmware, image_sha256, counter, reason)"
      " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11) ON CONFLICT (unit_id) DO NOTHING",
      {u.unitId, station, u.time, u.location, u.serial, u.result, std::to_string(u.durationMs),
       u.firmware, u.imageSha256,
       u.counter ? std::optional<std::string>(std::to_string(*u.counter)) : std::nullopt, u.reason},
      deadline, &rows);
  added = !e && rows.Affected() == 1;
  return e;
}

}  // namespace kbt::pg
