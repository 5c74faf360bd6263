#include "cli/console_dialog.h"

#include <cstdio>

#include "image/file_platform.h"

namespace kbt::cli {

std::string ForTerminal(const std::wstring& text) {
  return platform::PathForDisplay(text);
}

void ConsoleDialog::ShowErrorBox(const std::wstring& text) {
  std::fprintf(stderr, "kbupdate: %s\n", ForTerminal(text).c_str());
}

}  // namespace kbt::cli
