// The in-process transport of the simulated keyboard: a HidBackend whose only
// device is a KeyboardModel. Tests, `kbupdate flash --simulate` and the demo
// dialogs use it in place of a platform HID layer.
//
// Paths are new at every arrival (/dev/sim-hidraw<N>, N counting up), as real
// re-enumeration gives no stable names. A handle opened before the device
// left fails every report with "device gone". Arrival and removal events go
// to the callback in the order they happened, on the thread whose report made
// the device leave, or on the bus's own thread after a re-enumeration delay,
// never with a lock of the bus held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "device/hid.h"
#include "device/hid_trace.h"
#include "sim/keyboard_model.h"

namespace kbt::sim {

struct SimBusOptions {
  // Where the keyboard sits (HidInterfaceInfo::location), and how its
  // interface paths begin: a number that counts up at every arrival follows.
  std::string location = "sim-1";
  std::wstring pathPrefix = L"/dev/sim-hidraw";
  // Time between leaving the bus and coming back. 0: the device is back
  // before the report that made it leave has returned.
  unsigned reenumerateDelayMs = 0;
  // Device time per report of `bytes` bytes, slept without any lock held.
  // Real time: it is the device's, not one of the program's waits.
  std::function<std::chrono::microseconds(std::size_t bytes)> latency;
};

// A full-speed USB link: feature reports travel as control transfers on
// endpoint 0 in 64-byte packets; a transfer takes its setup and status stages
// in about one 1 ms frame plus some 1.2 us per byte of data stage.
std::chrono::microseconds FullSpeedUsbLatency(std::size_t bytes);

class SimBus : public HidBackend {
 public:
  explicit SimBus(SimMode start = SimMode::Normal, SimBusOptions options = {});
  ~SimBus() override;
  SimBus(const SimBus&) = delete;
  SimBus& operator=(const SimBus&) = delete;

  HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override;
  HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) override;

  void SetEventCallback(std::function<void(const DeviceEvent&)> callback);
  void SetFaults(const SimFaults& faults);
  void SetOptions(SimBusOptions options);

  // Pulling the cable and plugging it in again (see KeyboardModel).
  void Unplug();
  void PlugIn();
  // A new unit at this place: the keyboard now on the bus is unplugged (if
  // it still is) and another one, in normal operation with old firmware and
  // reporting `serial` (empty: none), is plugged in. The faults stay: they
  // belong to the place, and count from the new unit's first Begin.
  // `program`, when given, is what its flash holds (byte 0 0x00: no
  // application, so it powers on in update mode).
  void PlugInNewUnit(const std::string& serial, std::span<const std::uint8_t> program = {});
  // Waits until a pending re-enumeration has ended (the device is back).
  void WaitSettled();

  bool OnBus();
  SimMode Mode();
  std::vector<DevicePath> Paths();

  const std::string& Location() const { return location_; }

  // Every report that reached the bus, in order, failed ones included.
  std::vector<TraceRecord> Trace();
  void ClearTrace();

  // Looks at or changes the model under the bus's lock.
  template <typename F>
  auto WithModel(F&& f) {
    std::lock_guard lock(mutex_);
    return f(model_);
  }

  // Used by the bus's device handles.
  HidResult Set(const DevicePath& path, SimInterface kind, std::span<const std::uint8_t> report);
  HidResult Get(const DevicePath& path, SimInterface kind, std::span<std::uint8_t> report,
                std::size_t& received);

 private:
  struct Present {
    DevicePath path;
    SimInterface kind;
  };

  void OnBusChange(const BusChange& change);  // model listener, lock held
  void AfterModelCall();                      // lock held
  void DeliverEvents();                       // no lock held
  void ArrivalThread();
  bool IsPresent(const DevicePath& path) const;
  void Latency(std::size_t bytes);

  DevicePath NewPath();  // lock held

  std::mutex mutex_;
  std::condition_variable changed_;
  const std::string location_;
  KeyboardModel model_;
  std::string serial_;  // what the unit reports (HidInterfaceInfo::serial)
  SimBusOptions options_;
  std::vector<Present> present_;
  unsigned nextNode_ = 0;
  std::vector<TraceRecord> trace_;
  bool noAccess_ = false;    // SimFaults::noAccess: Open is refused
  bool arrivalDue_ = false;  // the device comes back after the delay
  std::chrono::steady_clock::time_point arrivalAt_;
  bool stopping_ = false;
  std::thread arrivalThread_;

  std::deque<DeviceEvent> events_;                    // under mutex_
  std::mutex deliveryMutex_;                          // keeps deliveries in order
  std::function<void(const DeviceEvent&)> callback_;  // under deliveryMutex_
};

}  // namespace kbt::sim
