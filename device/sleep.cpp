#include "device/sleep.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace kbt {
namespace {
std::mutex g_SleepMutex;
// Shared, so that a replacement made while a worker sleeps does not destroy
// the function under it.
std::shared_ptr<const std::function<void(unsigned)>> g_Sleeper;
}  // namespace

void SleepMs(unsigned milliseconds) {
  std::shared_ptr<const std::function<void(unsigned)>> sleeper;
  {
    std::lock_guard lock(g_SleepMutex);
    sleeper = g_Sleeper;
  }
  if (sleeper) {
    (*sleeper)(milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetSleepFunction(std::function<void(unsigned)> sleeper) {
  std::lock_guard lock(g_SleepMutex);
  if (sleeper)
    g_Sleeper = std::make_shared<const std::function<void(unsigned)>>(std::move(sleeper));
  else
    g_Sleeper.reset();
}

}  // namespace kbt
