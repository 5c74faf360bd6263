// The one keyboard that a single-keyboard job (dump, verify) works on, and
// bringing it into update mode: chosen by location (--port) or, with no
// location given, the only keyboard present. With keyboards at several
// locations and none named, nothing is chosen: reading the wrong keyboard
// would give a plausible but wrong file.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "device/device_events.h"
#include "device/hid.h"
#include "device/keyboards.h"
#include "device/sleep.h"

namespace kbt {

struct KeyboardChoice {
  enum class Outcome {
    Chosen,   // `keyboard` is the one; it may still be in normal operation
    NoneYet,  // nothing (complete) at the location, or no keyboard at all
    Several,  // no location named and keyboards at `locations`
  };
  Outcome outcome = Outcome::NoneYet;
  Keyboard keyboard;
  std::vector<std::string> locations;  // every keyboard's, in listing order
};

// Pure: decides from one listing. `port` empty: the only keyboard.
KeyboardChoice ChooseKeyboard(const KeyboardList& list, const std::string& port);

struct UpdateModeWait {
  enum class Outcome {
    Ready,     // `keyboard` is in update mode with both interfaces
    Several,   // see KeyboardChoice
    TimedOut,  // no keyboard (at the location) came, or it did not come back
    NoAccess,  // the HID layer cannot list interfaces (`error`)
    Cancelled,
  };
  Outcome outcome = Outcome::TimedOut;
  Keyboard keyboard;
  std::vector<std::string> locations;
  std::string error;
  bool entered = false;  // the Enter-update-mode pair was sent
};

// Looks for the keyboard until `deadline`, then brings it into update mode
// (AwaitUpdateMode, update_mode.h: the pair, its return at the same
// location, the settling time) within what is left of the wait. `events`
// only says when to look again (null: every half second); `cancel` (may be
// null) ends the wait. `status` (may be null) hears what happens. The waits
// go through `sleep` (empty: real time).
UpdateModeWait WaitForUpdateMode(HidBackend& hid, DeviceEventSource* events,
                                 const std::string& port,
                                 std::chrono::steady_clock::time_point deadline,
                                 const std::atomic<bool>* cancel,
                                 const std::function<void(const std::string&)>& status,
                                 const Sleeper& sleep = {});

}  // namespace kbt
