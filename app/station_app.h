// Start-up shared by the station window and its demo: the command line
// (read before any window exists, so that --help works without a display),
// the firmware file (the argument, or the .hex beside the program as the
// dialog finds it), its conversion and signature check, the results log,
// the database's sender with --db (station/unit_store.h), then the window
// over a station runner until the window closes.
#pragma once

#include <QApplication>
#include <functional>
#include <string>
#include <vector>

#include "device/device_events.h"
#include "device/hid.h"
#include "ui/qt/station_window.h"

namespace kbt {

struct StationArguments {
  enum class Action { Run, Help, Version, Error };
  Action action = Action::Run;
  std::string hex;  // empty: the .hex beside the program
  std::string log = "kbupdate-results.csv";
  std::string db;           // --db CONNINFO: also into the database; empty: the log only
  std::string stationName;  // --station-name: the database's station column (the host name)
  std::string screenshots;  // the demo's --screenshots DIR
  int places = 8;           // the demo's --places N: simulated keyboards
  std::string error;        // for Action::Error
};

// `args` without the program name; `demo` accepts --screenshots DIR and
// --places N.
StationArguments ParseStationArguments(const std::vector<std::string>& args, bool demo);

// For an action other than Run: prints help, version or the error and
// returns the exit code (0, or 2 for a wrong command line).
int FinishStationWithoutWindow(const StationArguments& parsed, const char* program, bool demo);

struct StationProgram {
  HidBackend* hid = nullptr;
  DeviceEventSource* events = nullptr;  // null: the bus is listed every half second
  // Runs once the window is shown, before the runner starts (the demo's
  // operator and screenshots).
  std::function<void(StationWindow&)> beforeRun;
};

// Returns the exit code: 0 when the window was closed; 2 for a connection
// string that does not parse; 3 for a firmware file that cannot be found or
// read, 4 for a results log that cannot be used or a database that refused
// the station, 5 for a file without firmware signature (each said on stderr
// and in a message box).
int RunStationProgram(QApplication& app, const StationArguments& args,
                      const StationProgram& program);

}  // namespace kbt
