// keyboard-update-station: the production-line station window over the
// platform's HID layer.
//   keyboard-update-station [--log FILE] [FILE.hex]
#include <QApplication>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/station_app.h"
#include "device/platform_hid.h"

int main(int argc, char** argv) {
  const kbt::StationArguments args =
      kbt::ParseStationArguments(std::vector<std::string>(argv + 1, argv + argc), false);
  if (args.action != kbt::StationArguments::Action::Run)
    return kbt::FinishStationWithoutWindow(args, "keyboard-update-station", false);

  // The station has its own options; Qt sees the program name alone.
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName(QStringLiteral("keyboard-update-station"));
  std::unique_ptr<kbt::HidBackend> hid = kbt::MakePlatformHidBackend();
  std::unique_ptr<kbt::DeviceEventSource> events = kbt::MakePlatformDeviceEventSource();
  if (!hid) {
    std::fprintf(stderr, "keyboard-update-station: this build has no HID layer\n");
    return 7;
  }
  kbt::StationProgram program;
  program.hid = hid.get();
  program.events = events.get();
  return kbt::RunStationProgram(app, args, program);
}
