// `kbupdate results`: the shared record of the stations in PostgreSQL, from
// the outside. `push` sends the rows of a results log that the database
// lacks (a station that ran without --db, or rows left waiting); `summary`
// reads the table per station and firmware. The work is the station's
// database module (station/unit_store.h); this file parses and prints.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/common_options.h"
#include "cli/console.h"
#include "cli/json_lines.h"
#include "cli/station_database.h"
#include "cli/verbs.h"
#include "station/results_log.h"
#include "station/unit_store.h"

namespace kbt::cli {

const char kResultsHelp[] =
    "usage: kbupdate results push --db CONNINFO [--station-name NAME] LOG.csv\n"
    "       kbupdate results summary --db CONNINFO [--since TIME] [--json]\n"
    "\n"
    "The stations' shared record: the PostgreSQL table kbupdate_units that\n"
    "`kbupdate station --db` and the station window's --db fill.\n"
    "\n"
    "push     sends every row of the results log LOG.csv that the database\n"
    "         lacks, each exactly once (a row it has already is left as it is),\n"
    "         and makes the table where it is missing. For a station that ran\n"
    "         without --db, or rows left waiting when a station ended.\n"
    "         --station-name NAME  the station column (default: this host's\n"
    "                              name; give the name of the station that\n"
    "                              wrote the log)\n"
    "         Rows of a log without the unit_id column get ids derived from\n"
    "         their content, the same every time: a second push adds nothing.\n"
    "summary  per station and firmware: units, passed, failed, yield, units\n"
    "         per hour (from the start of the first unit to the end of the\n"
    "         last) and the first and last unit's time.\n"
    "         --since TIME  only units that ended at TIME or later: any time\n"
    "                       PostgreSQL reads (2026-12-10, \"2026-12-10 06:00\",\n"
    "                       today, yesterday)\n"
    "         --json        one JSON object per station and firmware: station,\n"
    "                       firmware, units, passed, failed, yield (0 to 1),\n"
    "                       units_per_hour, first, last (ISO 8601)\n"
    "\n"
    "CONNINFO is a libpq connection string or URI; the PG* environment\n"
    "variables and the service file work as libpq defines them. Keep the\n"
    "password out of it: ~/.pgpass, PGPASSFILE or the service file.\n"
    "\n"
    "exit codes: 0 done; 1 push: some rows of the log are not units and were\n"
    "            not sent (each is named); 2 wrong command line (a connection\n"
    "            string or --since that does not parse); 3 LOG.csv cannot be\n"
    "            read or is not a results log; 4 the database cannot be\n"
    "            reached, refused the login, or has a table it does not know\n";

namespace {

struct ResultsOptions {
  DatabaseOptions database;
  std::string log;
  std::string since;
  bool json = false;
};

int Push(const ResultsOptions& o) {
  UnitStoreOptions store = StoreOptions(o.database);
  store.note = [](const std::string& line) { Error(line); };
  const bool terminal = IsTerminal(2);
  PushCounts counts;
  StoreRefusal refusal = StoreRefusal::None;
  const std::string why = PushLog(store, o.log, counts, refusal, [&](std::size_t done) {
    if (terminal) std::fprintf(stderr, "\rkbupdate results: %zu rows sent or there", done);
  });
  if (terminal && counts.sent + counts.already > 0) std::fputc('\n', stderr);
  if (!why.empty()) {
    Error(why);
    // A log that is not one is the input's fault.
    return refusal == StoreRefusal::Usage && why.rfind(o.log, 0) == 0 ? kExitInput
                                                                      : RefusalExit(refusal);
  }
  std::printf("%s: %zu rows sent, %zu in the database already, %zu not sendable (station %s)\n",
              o.log.c_str(), counts.sent, counts.already, counts.unreadable, store.station.c_str());
  return counts.unreadable > 0 ? kExitFailed : kExitOk;
}

int Summary(const ResultsOptions& o) {
  std::vector<SummaryRow> rows;
  StoreRefusal refusal = StoreRefusal::None;
  if (const std::string why = Summarize(o.database.conninfo, o.since, rows, refusal);
      !why.empty()) {
    Error(why);
    return RefusalExit(refusal);
  }
  auto yield = [](const SummaryRow& r) {
    return r.units > 0 ? static_cast<double>(r.passed) / static_cast<double>(r.units) : 0.0;
  };
  if (o.json) {
    for (const SummaryRow& r : rows)
      PrintJsonLine({{"station", r.station},
                     {"firmware", r.firmware},
                     {"units", r.units},
                     {"passed", r.passed},
                     {"failed", r.failed},
                     {"yield", std::round(yield(r) * 10000) / 10000},
                     {"units_per_hour", std::round(r.unitsPerHour * 10) / 10},
                     {"first", IsoTime(r.first)},
                     {"last", IsoTime(r.last)}});
    return kExitOk;
  }
  if (rows.empty()) {
    std::printf("no units%s\n", o.since.empty() ? "" : (" since " + o.since).c_str());
    return kExitOk;
  }
  std::size_t stationWidth = 7, firmwareWidth = 8;
  for (const SummaryRow& r : rows) {
    stationWidth = std::max(stationWidth, r.station.size());
    firmwareWidth = std::max(firmwareWidth, r.firmware.size());
  }
  const int sw = static_cast<int>(stationWidth), fw = static_cast<int>(firmwareWidth);
  std::printf("%-*s  %-*s  %6s  %6s  %6s  %7s  %8s  %-25s  %s\n", sw, "station", fw, "firmware",
              "units", "passed", "failed", "yield", "units/h", "first", "last");
  for (const SummaryRow& r : rows)
    std::printf("%-*s  %-*s  %6lld  %6lld  %6lld  %6.1f%%  %8.1f  %-25s  %s\n", sw,
                r.station.c_str(), fw, r.firmware.c_str(), static_cast<long long>(r.units),
                static_cast<long long>(r.passed), static_cast<long long>(r.failed),
                yield(r) * 100.0, r.unitsPerHour, IsoTime(r.first).c_str(),
                IsoTime(r.last).c_str());
  return kExitOk;
}

}  // namespace

VerbRun SetUpResults(CLI::App& command) {
  auto o = std::make_shared<ResultsOptions>();
  auto pick = std::make_shared<std::string>();
  command.require_subcommand(1);
  command.fallthrough();
  CLI::App* push = command.add_subcommand("push");
  AddDatabaseOptions(*push, o->database, true);
  push->add_option("LOG.csv", o->log)->required();
  push->callback([pick] { *pick = "push"; });
  CLI::App* summary = command.add_subcommand("summary");
  summary->add_option("--db", o->database.conninfo)->required();
  summary->add_option("--since", o->since)
      ->check(CLI::Validator(
          [](std::string& v) { return v.empty() ? std::string("needs a time") : ""; }, "TIME"));
  AddJsonOption(*summary, o->json);
  summary->callback([pick] { *pick = "summary"; });
  return [o, pick] { return *pick == "push" ? Push(*o) : Summary(*o); };
}

}  // namespace kbt::cli
