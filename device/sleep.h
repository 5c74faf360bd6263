// Every fixed wait of the device logic (20, 10, 100, 200 and 2000 ms) goes
// through a Sleeper handed in with whatever waits (a session, the entry into
// update mode, a wait for the keyboard, the dialog's state, the station), so
// that tests can record the waits and run without sleeping. An empty
// Sleeper sleeps for real, as the programs do.
#pragma once

#include <functional>

namespace kbt {

using Sleeper = std::function<void(unsigned milliseconds)>;

// Waits `milliseconds` through `sleeper`, or for real when it is empty.
void SleepMs(const Sleeper& sleeper, unsigned milliseconds);

}  // namespace kbt
