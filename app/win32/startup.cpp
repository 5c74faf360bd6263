#include "app/win32/startup.h"

#include <commctrl.h>

#include "ui/status_outputs.h"

namespace kbt {

void InitCommonControlsForDialog() {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_WIN95_CLASSES;
  static_assert(sizeof(INITCOMMONCONTROLSEX) == 8 && ICC_WIN95_CLASSES == 0xFF);
  InitCommonControlsEx(&controls);
}

void RunDialogAndExit(HINSTANCE instance, HidBackend& hid, UpdateCounter& counter,
                      MainDialogOptions options) {
  {
    MainDialog dialog(instance, hid, counter, std::move(options));
    dialog.RunModal();
  }
  RemoveStatusOutputs();
  // ExitProcess stops every other thread before anything is torn down, so a
  // worker in the middle of a run never meets a destroyed object.
  ExitProcess(0);
}

}  // namespace kbt
