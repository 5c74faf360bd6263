#include "device/device_events.h"

#include <chrono>

namespace kbt {

void DeviceEventQueue::Push(DeviceEvent event) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  changed_.notify_all();
}

bool DeviceEventQueue::WaitEvent(DeviceEvent& out, unsigned timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return !events_.empty(); }))
    return false;
  out = std::move(events_.front());
  events_.pop_front();
  return true;
}

void DeviceEventQueue::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

}  // namespace kbt
