#include "cli/console.h"

#include "image/hex_to_bin.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace kbt::cli {
namespace {

std::string g_prefix = "kbupdate";
Verbosity g_verbosity = Verbosity::Normal;
int g_stdoutError = 0;

void Line(const std::string& text, bool prefixed) {
  if (prefixed) {
    std::fprintf(stderr, "%s: %s\n", g_prefix.c_str(), text.c_str());
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
  std::fflush(stderr);
}

}  // namespace

void SetConsole(const std::string& verb, Verbosity verbosity) {
  g_prefix = verb.empty() ? "kbupdate" : "kbupdate " + verb;
  g_verbosity = verbosity;
}

Verbosity CurrentVerbosity() {
  return g_verbosity;
}

void Error(const std::string& text) {
  Line(text, true);
}

void Info(const std::string& text) {
  if (g_verbosity != Verbosity::Quiet) Line(text, false);
}

void Detail(const std::string& text) {
  if (g_verbosity == Verbosity::Verbose) Line(text, false);
}

void NoteStdoutError(int errnum) {
  if (!g_stdoutError) g_stdoutError = errnum;
}

int StdoutError() {
  return g_stdoutError;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    out.assign(buffer.data(), static_cast<std::size_t>(n));
  }
  va_end(args);
  return out;
}

std::string Reason(int errnum) {
  return ErrnoReason(errnum);
}

bool IsTerminal(int fd) {
#ifdef _WIN32
  return _isatty(fd) != 0;
#else
  return isatty(fd) == 1;
#endif
}

int TerminalColumns(int fd) {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(h, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
#else
  struct winsize size {};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
#endif
}

}  // namespace kbt::cli
