// Every fixed wait of the device logic (20, 10, 100, 200 and 2000 ms) goes
// through SleepMs, so that tests can record the waits and run without
// sleeping. The program sleeps for real.
#pragma once

#include <functional>

namespace kbt {

void SleepMs(unsigned milliseconds);

// Replaces the sleep function (tests); an empty function restores the real one.
void SetSleepFunction(std::function<void(unsigned)> sleeper);

}  // namespace kbt
