// keyboard-update-station: the production-line station window over the
// platform's HID layer.
//   keyboard-update-station [--log FILE] [FILE.hex]
#include <QApplication>

#include "app/station_app.h"
#include "device/platform_hid.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("keyboard-update-station"));
  std::unique_ptr<kbt::HidBackend> hid = kbt::MakePlatformHidBackend();
  std::unique_ptr<kbt::DeviceEventSource> events = kbt::MakePlatformDeviceEventSource();
  kbt::StationProgram program;
  program.hid = hid.get();
  program.events = events.get();
  return kbt::RunStationProgram(app, QApplication::arguments().mid(1), program);
}
