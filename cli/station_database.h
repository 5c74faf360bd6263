// The station's --db and --station-name, shared by `kbupdate station` and
// the results verb: the options, the start of the database's sender with
// its refusals turned into messages and exit codes, and the words the
// displays use for its state.
#pragma once

#include <memory>
#include <string>

#include "station/unit_store.h"

namespace CLI {
class App;
}

namespace kbt::cli {

struct DatabaseOptions {
  std::string conninfo;  // empty: no database
  std::string station;   // empty: the host name
};

// `required`: the results verb's --db, which it cannot go without.
void AddDatabaseOptions(CLI::App& command, DatabaseOptions& options, bool required);
UnitStoreOptions StoreOptions(const DatabaseOptions& options);
// The exit code of a refusal: 2 for a wrong command line or a build without
// a database, 4 for a server that refused (or could not be reached, where
// nothing can go on without it).
int RefusalExit(StoreRefusal refusal);

// "connected to u@h:5432/line", "away since 14:05:09 (why), 12 rows waiting".
std::string DatabaseText(const UnitStoreStatus& status);
// The time of day of `time`, for the displays.
std::string TimeOfDay(std::chrono::system_clock::time_point time);

}  // namespace kbt::cli
