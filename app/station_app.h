// Start-up shared by the station window and its demo: the firmware file
// (the argument, or the .hex beside the program as the dialog finds it),
// its conversion and signature check, the results log, then the window
// over a station runner until the window closes.
#pragma once

#include <QApplication>
#include <QStringList>
#include <functional>

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

// `args`: [--log FILE] [FILE.hex]. Returns the exit code: 0, or 2 for a
// wrong command line, 3 for a firmware file that cannot be read, 4 for a
// results log that cannot be used, 5 for a file without firmware signature
// (each said in a message box).
int RunStationProgram(QApplication& app, const QStringList& args, const StationProgram& program);

}  // namespace kbt
