// Start-up shared by the Qt programs.
#pragma once

#include <QApplication>

#include "ui/qt/main_dialog.h"

namespace kbt {

// Names the application and gives it the tool's icon.
void PrepareApplication(QApplication& app);

// Runs the dialog modally and ends the process when it closes. Workers that
// still run are not waited for: the window and the status outputs are gone
// first, then the process ends without running static destructors under
// their feet. `beforeShow` runs after Dialog initialisation (the demo uses
// it to start its simulated keyboard).
[[noreturn]] void RunDialogAndExit(HidBackend& hid, DeviceEventRegistration registration,
                                   ControllerWorkers workers = ControllerWorkers::Real(),
                                   const std::function<void(MainDialog&)>& beforeShow = {});

}  // namespace kbt
