#include "app/win32/station_startup.h"

#include <shellapi.h>

#include <cstdio>

#include "app/win32/startup.h"
#include "device/update_counter.h"
#include "image/file_platform.h"
#include "ui/win32/station_tiles.h"

namespace kbt {
namespace {

// A program of the windows subsystem has standard handles only where they
// were handed to it (redirected, or Wine's terminal): there it writes, as a
// script expects; elsewhere (started from Explorer) it shows a box.
bool HasStandardHandle(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

void Say(const std::string& text, bool error) {
  if (HasStandardHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE)) {
    std::fputs(text.c_str(), error ? stderr : stdout);
    std::fflush(error ? stderr : stdout);
    return;
  }
  MessageBoxW(nullptr, Widen(text).c_str(), error ? L"Error" : L"Keyboard Update Station",
              MB_OK | (error ? MB_ICONHAND : MB_ICONINFORMATION));
}

// The firmware file's name as the system gives it (the log's column holds
// it in the ANSI code page; the window shows every character).
std::wstring FileName(const std::wstring& path) {
  std::size_t at = path.size();
  while (at > 0 && !platform::IsPathSeparator(path[at - 1])) --at;
  return path.substr(at);
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 4, buffer, nullptr);
  return n > 0 && n < MAX_PATH * 4 ? std::wstring(buffer, n) : path;
}

}  // namespace

std::vector<std::string> StationCommandLine() {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(platform::PathForDisplay(words[i]));
  LocalFree(words);
  return args;
}

int AnswerStationWithoutWindow(const StationArguments& args, const char* program, bool demo) {
  const StationAnswer answer = AnswerWithoutWindow(args, program, demo);
  Say(answer.text, answer.error);
  return answer.code;
}

int RunStationWindowProgram(HINSTANCE instance, const StationArguments& args,
                            const StationWindowProgram& program) {
  if (!args.db.empty()) {
    // The database client is Linux's (libpq); on Windows the log is the record.
    Say(std::string(program.name) +
            ": --db: this build has no database support (--db needs the Linux build)\n",
        true);
    return 2;
  }
  StationInputs inputs;
  std::string error;
  if (const int code = PrepareStationInputs(args, inputs, error); code != 0) {
    Say(std::string(program.name) + ": " + error + "\n", true);
    return code;
  }
  InitCommonControlsForDialog();
  StationWindow window(instance, FileName(inputs.hexPath),
                       FullPath(platform::PathFromArgument(args.log.c_str())));
  if (window.Create() == nullptr) {
    Say(std::string(program.name) + ": the window could not be created\n", true);
    return 1;
  }
  // The program's update counter: one station runner, one counter.
  UpdateCounter counter;
  StationRunner runner(*program.hid, program.events, inputs.image.data(), counter.Source(),
                       inputs.log.get(), window.Sink(), StationRunnerOptions{});
  if (program.beforeRun) program.beforeRun(window);
  window.Start(runner);
  window.RunMessageLoop();
  window.Close();  // stops the runner if the loop ended another way
  return 0;
}

}  // namespace kbt
