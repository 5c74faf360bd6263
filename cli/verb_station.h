// `kbupdate station`, shared by its files: the verb itself (help text,
// options and the run, cli/verb_station.cpp, the same on every system) and
// what differs by system, one file each (verb_station_linux.cpp,
// verb_station_windows.cpp): how a stop is asked for from outside, and
// whether the terminal redraws in place.
#pragma once

namespace kbt {
class StationRunner;
}

namespace kbt::cli {

// Stop requests from outside while the station runs, the same two steps on
// every system. Linux: SIGINT and SIGTERM. Windows (SetConsoleCtrlHandler):
// Ctrl+C as SIGINT; Ctrl+Break as SIGTERM; closing the console window,
// logging off or shutting down cancel the runs at once, since Windows ends
// the process a few seconds later, and wait for their records. The first
// request takes no new unit and lets the runs in progress finish; a second
// Ctrl+C cancels them (recorded as FAIL "interrupted"). The handlers only
// set the runner's flags.
class StationStopScope {
 public:
  explicit StationStopScope(StationRunner& runner);  // the handlers installed
  ~StationStopScope();  // the runner has returned: the previous handlers again
  StationStopScope(const StationStopScope&) = delete;
  StationStopScope& operator=(const StationStopScope&) = delete;

  // 0 when no stop was asked for; else the exit code of the last request:
  // kExitInterrupted (SIGINT, Ctrl+C) or kExitTerminated (SIGTERM,
  // Ctrl+Break, the console closing).
  static int ExitCode();
};

// Makes stdout ready for the display's in-place redraw (Windows: the
// console's escape-sequence processing); false where it cannot redraw, and
// the display then prints one line per event.
bool PrepareTerminalRedraw();

}  // namespace kbt::cli
