#include "cli/station_database.h"

#include <CLI/CLI.hpp>

#include <ctime>

#include "cli/console.h"
#include "cli/verbs.h"
#include "station/results_log_platform.h"

namespace kbt::cli {

void AddDatabaseOptions(CLI::App& command, DatabaseOptions& options, bool required) {
  CLI::Option* db = command.add_option("--db", options.conninfo);
  db->check(CLI::Validator(
      [](std::string& v) { return v.empty() ? std::string("needs a connection string") : ""; },
      "CONNINFO"));
  if (required) db->required();
  command.add_option("--station-name", options.station)
      ->check(CLI::Validator(
          [](std::string& v) { return v.empty() ? std::string("needs a name") : ""; }, "NAME"));
}

UnitStoreOptions StoreOptions(const DatabaseOptions& options) {
  UnitStoreOptions out;
  out.conninfo = options.conninfo;
  out.station = options.station.empty() ? HostName() : options.station;
  return out;
}

int RefusalExit(StoreRefusal refusal) {
  switch (refusal) {
    case StoreRefusal::Usage:
    case StoreRefusal::NoSupport:
      return kExitUsage;
    case StoreRefusal::Unreachable:
    case StoreRefusal::Refused:
      return kExitOutput;
    case StoreRefusal::None:
      break;
  }
  return kExitOk;
}

std::string TimeOfDay(std::chrono::system_clock::time_point time) {
  const std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm local{}, utc{};
  if (!LocalAndUtcTime(t, local, utc)) return {};  // the system's call (localtime_r, _s)
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

std::string DatabaseText(const UnitStoreStatus& s) {
  std::string text;
  if (s.state == UnitStoreStatus::State::Connected) {
    text = "connected to " + s.server;
    if (s.waiting > 0) text += Format(", sending %zu rows", s.waiting);
  } else {
    text = "away since " + TimeOfDay(s.awaySince) + " (" + s.reason + ")" +
           Format(", %zu rows waiting", s.waiting);
  }
  if (s.unreadable > 0) text += Format("; %zu rows not sendable (see the notes)", s.unreadable);
  return text;
}

}  // namespace kbt::cli
