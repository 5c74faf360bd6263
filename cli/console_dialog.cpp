#include "cli/console_dialog.h"

#include <cerrno>
#include <cstdio>

#include "image/file_platform.h"

namespace kbt::cli {

std::string ForTerminal(const std::wstring& text) {
  return platform::PathForDisplay(text);
}

void ConsoleDialog::ShowErrorBox(const std::wstring& text) {
  // The box comes between a failed open and the caller's own message, which
  // names the reason from errno: printing must not change it.
  const int error = errno;
  std::fprintf(stderr, "kbupdate: %s\n", ForTerminal(text).c_str());
  errno = error;
}

}  // namespace kbt::cli
