// Start-up shared by the Qt station window and its demo: the firmware and
// the results log (app/station_setup.h, shared with the Win32 window), the
// database's sender with --db (station/unit_store.h), then the window over a
// station runner until the window closes.
#pragma once

#include <QApplication>
#include <functional>
#include <string>
#include <vector>

#include "app/station_setup.h"
#include "device/device_events.h"
#include "device/hid.h"
#include "ui/qt/station_window.h"

namespace kbt {

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
