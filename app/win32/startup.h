// What the program and its demo share at start-up.
#pragma once

#include <windows.h>

#include "device/hid.h"
#include "ui/win32/main_dialog.h"

namespace kbt {

// InitCommonControlsEx with ICC_WIN95_CLASSES (the progress bar among them).
void InitCommonControlsForDialog();

// Runs the main dialog modally and ends the process when it has closed.
// Workers still running are not waited for: the status outputs are removed
// first, so none of them reaches a window, and the process ends with them.
// `counter` is the program's update counter.
[[noreturn]] void RunDialogAndExit(HINSTANCE instance, HidBackend& hid, UpdateCounter& counter,
                                   MainDialogOptions options);

}  // namespace kbt
