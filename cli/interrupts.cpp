#include "cli/interrupts.h"

#include <csignal>
#include <cstdlib>

#include "cli/verbs.h"

namespace kbt::cli {

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_secondEnds{false};
std::atomic<int> g_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int sig) {
  if (g_interrupted.exchange(true)) {
    if (g_secondEnds.load()) std::_Exit(128 + sig);
  } else {
    g_signal.store(sig);
  }
  std::signal(sig, OnInterrupt);  // Windows resets the handler before calling it
}

}  // namespace

InterruptScope::InterruptScope(Second second) {
  g_secondEnds = second == Second::EndsProcess;
  g_interrupted = false;
  g_signal = 0;
  previousInt_ = std::signal(SIGINT, OnInterrupt);
  previousTerm_ = std::signal(SIGTERM, OnInterrupt);
}

InterruptScope::~InterruptScope() {
  std::signal(SIGINT, previousInt_);
  std::signal(SIGTERM, previousTerm_);
}

const std::atomic<bool>* InterruptScope::Flag() {
  return &g_interrupted;
}

int InterruptScope::ExitCode() {
  return g_signal.load() == SIGTERM ? kExitTerminated : kExitInterrupted;
}

}  // namespace kbt::cli
