// `kbupdate station` on Linux: SIGINT and SIGTERM reach the runner through
// its flags (sigaction), and a terminal takes escape sequences as it is.
#include <signal.h>

#include <atomic>
#include <csignal>

#include "cli/verb_station.h"
#include "cli/verbs.h"
#include "station/station_runner.h"

namespace kbt::cli {
namespace {

std::atomic<StationRunner*> g_runner{nullptr};
volatile std::sig_atomic_t g_lastSignal = 0;
std::atomic<int> g_signals{0};  // SIGINT and SIGTERM alike
struct sigaction g_oldInt {};
struct sigaction g_oldTerm {};

extern "C" void OnStopSignal(int signal) {
  g_lastSignal = signal;
  // Ctrl+C after a stop of any kind (a service manager's SIGTERM included)
  // is the operator asking for the runs to end now.
  const bool abort = ++g_signals >= 2 && signal == SIGINT;
  if (StationRunner* runner = g_runner.load()) {
    runner->RequestStop();
    if (abort) runner->RequestAbort();
  }
}

}  // namespace

StationStopScope::StationStopScope(StationRunner& runner) {
  g_runner = &runner;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &g_oldInt);
  sigaction(SIGTERM, &action, &g_oldTerm);
}

StationStopScope::~StationStopScope() {
  sigaction(SIGINT, &g_oldInt, nullptr);
  sigaction(SIGTERM, &g_oldTerm, nullptr);
  g_runner = nullptr;
}

int StationStopScope::ExitCode() {
  if (g_lastSignal == SIGTERM) return kExitTerminated;
  if (g_lastSignal == SIGINT) return kExitInterrupted;
  return 0;
}

bool PrepareTerminalRedraw() {
  return true;
}

}  // namespace kbt::cli
