// Start-up of the Windows station window, shared by the program and its demo:
// the command line (the station takes one, unlike the update dialog), the
// firmware and the results log (app/station_setup.h, shared with the Qt
// window), then the window over a station runner until it is closed.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "app/station_setup.h"
#include "device/device_events.h"
#include "device/hid.h"
#include "ui/win32/station_window.h"

namespace kbt {

// The program's arguments without its name, each in the ANSI code page, as
// kbupdate.exe gets its own.
std::vector<std::string> StationCommandLine();

// For an action other than Run: help, version or the error, on stdout or
// stderr where the program has them (redirected, or under Wine), else in a
// message box; returns the exit code.
int AnswerStationWithoutWindow(const StationArguments& args, const char* program, bool demo);

struct StationWindowProgram {
  const char* name = "KeyboardUpdateStation";  // in front of its messages
  HidBackend* hid = nullptr;
  DeviceEventSource* events = nullptr;  // null: the bus is listed every half second
  // Runs once the window is shown, before the runner starts (the demo's
  // operator and screenshots).
  std::function<void(StationWindow&)> beforeRun;
};

// Returns the exit code: 0 when the window was closed; 3 for a firmware file
// that cannot be found or read, 4 for a results log that cannot be used, 5
// for a file without firmware signature (each said on stderr where there is
// one, else in a message box).
int RunStationWindowProgram(HINSTANCE instance, const StationArguments& args,
                            const StationWindowProgram& program);

}  // namespace kbt
