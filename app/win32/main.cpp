// Start-up of the Windows program: the common controls, the main dialog run
// modally over the machine's HID layer, and the end of the process when the
// dialog closes. The command line is not read.
#include <windows.h>

#include "app/win32/startup.h"
#include "device/platform_hid.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  kbt::InitCommonControlsForDialog();
  std::unique_ptr<kbt::HidBackend> hid = kbt::MakePlatformHidBackend();
  kbt::UpdateCounter counter;  // the program's; the process ends before WinMain returns
  kbt::RunDialogAndExit(instance, *hid, counter, {});
}
