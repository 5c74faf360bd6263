// `kbupdate station` on Windows: the console's control events reach the
// runner through its flags (SetConsoleCtrlHandler; the system calls the
// handler on a thread of its own), and the console redraws in place once its
// escape-sequence processing is on.
#include <windows.h>

#include <atomic>

#include "cli/verb_station.h"
#include "cli/verbs.h"
#include "station/station_runner.h"

namespace kbt::cli {
namespace {

// Windows ends the process about five seconds after a close, log-off or
// shut-down event reached it; the handler waits at most this long for the
// cancelled runs to be recorded.
constexpr DWORD kCloseWaitMs = 4000;

std::atomic<StationRunner*> g_runner{nullptr};
std::atomic<int> g_exitCode{0};
std::atomic<int> g_stops{0};  // Ctrl+C and Ctrl+Break alike
// Set once the runner has returned: every unit it ran is recorded.
HANDLE g_runnerReturned = CreateEventW(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI OnConsoleControl(DWORD event) {
  StationRunner* runner = g_runner.load();
  switch (event) {
    case CTRL_C_EVENT: {
      g_exitCode = kExitInterrupted;
      // Ctrl+C after a stop of either kind ends the runs now.
      const bool abort = ++g_stops >= 2;
      if (runner) {
        runner->RequestStop();
        if (abort) runner->RequestAbort();
      }
      return TRUE;
    }
    case CTRL_BREAK_EVENT:
      g_exitCode = kExitTerminated;
      ++g_stops;
      if (runner) runner->RequestStop();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_exitCode = kExitTerminated;
      if (runner) {
        runner->RequestStop();
        runner->RequestAbort();
      }
      // Returning lets Windows end the process; the runs are on the disk first.
      if (g_runnerReturned) WaitForSingleObject(g_runnerReturned, kCloseWaitMs);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

StationStopScope::StationStopScope(StationRunner& runner) {
  g_runner = &runner;
  if (g_runnerReturned) ResetEvent(g_runnerReturned);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

StationStopScope::~StationStopScope() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  g_runner = nullptr;
  // A close handler still waiting may let the process go now.
  if (g_runnerReturned) SetEvent(g_runnerReturned);
}

int StationStopScope::ExitCode() {
  return g_exitCode.load();
}

bool PrepareTerminalRedraw() {
  // Windows 10's console moves the cursor on escape sequences once asked
  // to; an older one cannot, and gets one line per event instead.
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace kbt::cli
