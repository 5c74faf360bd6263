// Start-up shared by the Qt programs.
#pragma once

#include <QApplication>
#include <optional>
#include <string>
#include <vector>

#include "ui/qt/main_dialog.h"

namespace kbt {

// Names the application and gives it the tool's icon.
void PrepareApplication(QApplication& app);

// The dialog's command line on Linux: an optional firmware file, so that a
// desktop's "Open with" and a shell can hand the window a .hex from anywhere.
// Without it the window searches beside the program, as on Windows.
struct DialogArguments {
  enum class Action { Run, Help, Version, Error };
  Action action = Action::Run;
  // Absolute, as the search's result is; non-UTF-8 bytes kept (see
  // platform::PathFromArgument).
  std::optional<std::wstring> file;
  std::string error;  // for Action::Error
};

// `args` without the program name. Reads the current folder for a relative
// file; looks at nothing else.
DialogArguments ParseDialogArguments(const std::vector<std::string>& args);

// Help text of `program` (what --help prints; the man page is made from it).
std::string DialogHelpText(const char* program);

// For an action other than Run: prints help, version or the error and
// returns the process's exit code (0, or 2 for a wrong command line). Runs
// before QApplication exists, so --help works without a display.
int FinishWithoutWindow(const DialogArguments& parsed, const char* program);

// Runs the dialog modally and ends the process when it closes. Workers that
// still run are not waited for: the window and the status outputs are gone
// first, then the process ends without running static destructors under
// their feet. `counter` is the program's update counter. `beforeShow` runs
// after Dialog initialisation (the demo uses it to start its simulated
// keyboard).
[[noreturn]] void RunDialogAndExit(HidBackend& hid, UpdateCounter& counter,
                                   DeviceEventRegistration registration,
                                   ControllerWorkers workers = ControllerWorkers::Real(),
                                   const std::function<void(MainDialog&)>& beforeShow = {},
                                   const std::optional<std::wstring>& givenFile = std::nullopt);

}  // namespace kbt
