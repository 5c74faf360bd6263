// Device events for front ends that wait instead of running an event loop
// (the command line, tests): a source that yields the next arrival or
// removal, with a time-out. The Qt and Win32 dialogs take the same events
// from their own loops.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "device/hid.h"

namespace kbt {

class DeviceEventSource {
 public:
  virtual ~DeviceEventSource() = default;

  // Waits at most timeoutMs for the next event. False on time-out.
  virtual bool WaitEvent(DeviceEvent& out, unsigned timeoutMs) = 0;
};

// A source fed by a callback (the simulated bus, a monitor thread): Push may
// be called from any thread. An event without a time gets the time of its
// Push.
class DeviceEventQueue : public DeviceEventSource {
 public:
  void Push(DeviceEvent event);
  bool WaitEvent(DeviceEvent& out, unsigned timeoutMs) override;
  // Drops every queued event.
  void Clear();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<DeviceEvent> events_;
};

}  // namespace kbt
