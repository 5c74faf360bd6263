#include "device/sleep.h"

#include <chrono>
#include <thread>

namespace kbt {

void SleepMs(const Sleeper& sleeper, unsigned milliseconds) {
  if (sleeper) {
    sleeper(milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace kbt
