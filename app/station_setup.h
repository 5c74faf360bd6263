// What the station windows (Qt on Linux, Win32 on Windows) and their demos
// share at start-up, before any window exists: the command line (so that
// --help works without a display), the firmware file (the argument, or the
// .hex beside the program as the dialog finds it) with its conversion and
// signature check, and the results log. The window itself is each system's
// (app/station_app.cpp, app/win32/station_startup.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "station/results_log.h"

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

// For an action other than Run: the text to show (help, version, or the
// error) and the exit code (0, or 2 for a wrong command line).
struct StationAnswer {
  int code = 0;
  std::string text;
  bool error = false;  // stderr rather than stdout
};
StationAnswer AnswerWithoutWindow(const StationArguments& parsed, const char* program, bool demo);
// The same, printed; returns the exit code.
int FinishStationWithoutWindow(const StationArguments& parsed, const char* program, bool demo);

// The firmware, converted and checked, and the results log, open and locked.
struct StationInputs {
  std::wstring hexPath;
  std::string firmware;  // the file's name, as the log records it
  std::vector<std::uint8_t> image;
  std::unique_ptr<ResultsLog> log;
};

// 0 with `inputs` filled; otherwise the exit code, with the sentence to
// show in `error`: 3 for a firmware file that cannot be found or read, 4
// for a results log that cannot be used, 5 for a file without firmware
// signature.
int PrepareStationInputs(const StationArguments& args, StationInputs& inputs, std::string& error);

}  // namespace kbt
