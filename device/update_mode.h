// Bringing keyboards into update mode: a keyboard in normal operation is sent
// the Enter-update-mode pair, leaves the bus, and comes back at the same
// location as the update-mode device with its Data and Command interfaces;
// then it is given the settling time before its first report. One road for
// `kbupdate flash`, dump and verify (keyboard_choice.h) and the station. The
// dialog's discovery takes the same steps driven by device events (it sends
// the pair during its walk and finds the keyboard again on its arrival), and
// waits the same kSettleMs before it enables Start.
//
// How the bus is seen is handed in (BusWatch): a look over the HID layer
// where the caller owns it, or the station's own listing, which its bus
// watch keeps fresh for all its units at once.
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

// The time a keyboard back in update mode is given before its first report:
// the dialog's ready delay, before it offers Start.
inline constexpr unsigned kSettleMs = 2000;

// How a wait sees the bus.
class BusWatch {
 public:
  virtual ~BusWatch() = default;
  // The keyboards present now; fails only when the HID layer cannot list.
  virtual HidResult Look(KeyboardList& list) = 0;
  // Returns once the bus may have changed, after `ms` at most, and soon
  // after `cancel` (may be null) is set.
  virtual void WaitForChange(unsigned ms, const std::atomic<bool>* cancel) = 0;
};

// A watch over a HID layer: each look lists the interfaces and opens the
// ones a rule would use (ProbeInterfaces, FindKeyboards); a device event
// ends a wait early, and takes the events queued behind it along, so that a
// burst of them costs one look. Without an event source a wait simply
// passes (through `sleep`; empty: real time).
class HidBusWatch final : public BusWatch {
 public:
  HidBusWatch(HidBackend& hid, DeviceEventSource* events, Sleeper sleep = {})
      : hid_(hid), events_(events), sleep_(std::move(sleep)) {}
  HidResult Look(KeyboardList& list) override;
  void WaitForChange(unsigned ms, const std::atomic<bool>* cancel) override;

 private:
  HidBackend& hid_;
  DeviceEventSource* events_;
  Sleeper sleep_;
};

struct UpdateModeOptions {
  // How long the keyboards sent the pair may take to come back, counted
  // from when the pairs have gone out.
  std::chrono::milliseconds backWithin{30000};
  // Set by another thread: the wait ends before its next look.
  const std::atomic<bool>* cancel = nullptr;
  // Once every keyboard is back: the settling time (0: none), cut short by
  // `cancel`.
  unsigned settleMs = kSettleMs;
  // A keyboard whose vendor interfaces would not open for the pair: false,
  // it fails at once (EntryFailed); true, the pair is tried again at every
  // look until the wait ends (a node whose access rule is still being
  // applied).
  bool retryEntry = false;
  // Between looks when no device event comes.
  unsigned pollMs = 500;
  // The pair's pauses and the settling time (empty: real time). With
  // several keyboards to switch it is called from a thread per keyboard.
  Sleeper sleep;

  enum class Step {
    Entering,      // the pair goes out to `keyboard` now
    InUpdateMode,  // `keyboard` is in update mode, before the settling time
  };
  // What happens, on the waiting thread (may be empty).
  std::function<void(Step step, const Keyboard& keyboard)> told;
};

struct UpdateModeResult {
  enum class Outcome {
    Ready,        // `keyboard` is the update-mode one, with both interfaces
    EntryFailed,  // no vendor interface took the pair (`error`)
    NotBack,      // not back in update mode within the wait
    NoAccess,     // the HID layer could not list the interfaces (`error`)
    Cancelled,
  };
  Outcome outcome = Outcome::NotBack;
  // The update-mode keyboard once Ready; the keyboard as given otherwise.
  Keyboard keyboard;
  bool entered = false;  // the pair went out to it
  std::string error;
};

// Brings every keyboard of `keyboards` (complete ones, as FindKeyboards
// listed them) into update mode at once: the pair to each one in normal
// operation, all of them at the same time (a thread each), then looks until
// each is back at its location in update mode, then the settling time once
// for all. A keyboard already in update mode is ready at once. One result
// per keyboard, in the same order.
std::vector<UpdateModeResult> AwaitUpdateMode(HidBackend& hid, BusWatch& watch,
                                              const std::vector<Keyboard>& keyboards,
                                              const UpdateModeOptions& options);

}  // namespace kbt
