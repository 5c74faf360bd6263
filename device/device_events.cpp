#include "device/device_events.h"

#include <chrono>
#include <cwctype>

namespace kbt {

DevicePath FoldedDevicePath(const DevicePath& path) {
  DevicePath out(path);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
  return out;
}

bool SameDevicePath(const DevicePath& a, const DevicePath& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(static_cast<std::wint_t>(a[i])) !=
        std::towlower(static_cast<std::wint_t>(b[i])))
      return false;
  }
  return true;
}

void DeviceEventQueue::Push(DeviceEvent event) {
  if (event.at == std::chrono::steady_clock::time_point{})
    event.at = std::chrono::steady_clock::now();
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
