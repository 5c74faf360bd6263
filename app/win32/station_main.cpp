// KeyboardUpdateStation.exe: the production-line station window over the
// machine's HID layer.
//   KeyboardUpdateStation.exe [--log FILE] [FILE.hex]
#include <windows.h>

#include <memory>

#include "app/win32/station_startup.h"
#include "device/platform_hid.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const kbt::StationArguments args = kbt::ParseStationArguments(kbt::StationCommandLine(), false);
  if (args.action != kbt::StationArguments::Action::Run)
    return kbt::AnswerStationWithoutWindow(args, "KeyboardUpdateStation", false);
  std::unique_ptr<kbt::HidBackend> hid = kbt::MakePlatformHidBackend();
  std::unique_ptr<kbt::DeviceEventSource> events = kbt::MakePlatformDeviceEventSource();
  kbt::StationWindowProgram program;
  program.hid = hid.get();
  program.events = events.get();
  return kbt::RunStationWindowProgram(instance, args, program);
}
