// The keyboards a verb works on, shared by the verbs that touch devices:
// the HID layer (the platform's, or simulated keyboards on sim-1..sim-N with
// their flash and faults) with its device events, a fresh look at what is
// present (the core's HidBusWatch), and the choice that --port makes.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "cli/common_options.h"
#include "device/device_events.h"
#include "device/hid.h"
#include "device/keyboards.h"
#include "device/update_mode.h"
#include "sim/sim_hub.h"

namespace kbt::cli {

class Devices {
 public:
  // Null with `error` and the exit code set when this build has no HID
  // layer for the system (kExitNoHid) or the --sim-memory file cannot be
  // read (kExitInput). Simulated keyboards hold the --sim-memory image (the
  // demo firmware without it) and carry their faults.
  static std::unique_ptr<Devices> Open(const DeviceOptions& options, std::string& error,
                                       int& exitCode);

  HidBackend& Hid() { return *hid_; }
  // Reports then go through `wrapper` (the trace), which wraps Hid().
  void Wrap(HidBackend& wrapper) { hid_ = &wrapper; }
  bool Simulated() const { return hub_ != nullptr; }
  // The simulated keyboards and what their flash holds (null and empty
  // unless simulated).
  sim::SimHub* Hub() { return hub_.get(); }
  const std::vector<std::uint8_t>& SimMemory() const { return simMemory_; }
  // Arrivals and removals; null where the platform offers none.
  DeviceEventSource* Events() { return events_; }
  // A watch over Hid() and Events(), for AwaitUpdateMode.
  HidBusWatch Watch() { return HidBusWatch(*hid_, events_); }

  // What is present now: the keyboards, and what was skipped and why.
  // False with `error` when the HID layer cannot list anything.
  bool Look(KeyboardList& list, std::string& error);

  // Waits up to `ms` for a device event (or, without events, simply waits),
  // returning early when `cancel` is set.
  void WaitForChange(unsigned ms, const std::atomic<bool>* cancel);

 private:
  DeviceEventQueue simEvents_;  // declared first: it outlives the hub that feeds it
  std::unique_ptr<sim::SimHub> hub_;
  std::vector<std::uint8_t> simMemory_;
  std::unique_ptr<HidBackend> platform_;
  std::unique_ptr<DeviceEventSource> platformEvents_;
  HidBackend* hid_ = nullptr;
  DeviceEventSource* events_ = nullptr;
};

// The keyboards that --port selects (all when no --port was given), in the
// list's order.
std::vector<const Keyboard*> Selected(const KeyboardList& list,
                                      const std::vector<std::string>& ports);

const char* ModeName(KeyboardMode mode);

// The interfaces that discovery would use but cannot open, each with the HID
// layer's reason (permission denied and the hint about access rules, ...).
// Empty when every one opens or there is none.
std::vector<std::string> AccessProblems(HidBackend& hid);

}  // namespace kbt::cli
