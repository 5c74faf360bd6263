// hidraw arrival and removal from a libudev monitor. Without a udev daemon
// (a minimal system, an initramfs, a container) it listens to the kernel's
// uevent netlink group. With one, it takes the daemon's relayed events
// instead: the kernel's arrive before the daemon has given the node its
// access rights, and a user's discovery would then find the node refused
// with nothing to say when it becomes usable. The socket is non-blocking,
// so ReadEvents drains it and returns.
#include <libudev.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "device/linux/hid_linux.h"
#include "device/linux/hid_linux_util.h"

namespace kbt {
namespace {

class UdevHidrawMonitor : public HidrawMonitor {
 public:
  UdevHidrawMonitor(udev* u, udev_monitor* m) : udev_(u), monitor_(m) {}
  ~UdevHidrawMonitor() override {
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
  }

  int Fd() const override { return udev_monitor_get_fd(monitor_); }

  std::vector<DeviceEvent> ReadEvents() override {
    std::vector<DeviceEvent> events;
    while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
      DeviceEvent ev;
      const char* action = udev_device_get_action(dev);
      if (action && std::strcmp(action, "add") == 0) {
        ev.kind = DeviceEvent::Kind::Arrival;
      } else if (action && std::strcmp(action, "remove") == 0) {
        ev.kind = DeviceEvent::Kind::Removal;
      } else {
        ev.kind = DeviceEvent::Kind::Other;  // change, bind, ...
      }
      if (const char* node = udev_device_get_devnode(dev)) ev.path = WidenPath(node);
      if (const char* syspath = udev_device_get_syspath(dev)) ev.instance = syspath;
      udev_device_unref(dev);
      events.push_back(std::move(ev));
    }
    return events;
  }

  std::vector<DeviceEvent> WaitEvents(int timeoutMs) override {
    pollfd p{Fd(), POLLIN, 0};
    int r;
    do {
      r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return {};
    return ReadEvents();
  }

 private:
  udev* udev_;
  udev_monitor* monitor_;
};

}  // namespace

HidResult HidrawMonitor::Open(std::unique_ptr<HidrawMonitor>& out) {
  out.reset();
  udev* u = udev_new();
  if (!u) return HidResult::Fail("device events: libudev unavailable");
  const char* source = UeventSource("/run/udev/control");
  udev_monitor* m = udev_monitor_new_from_netlink(u, source);
  if (!m) {
    udev_unref(u);
    return HidResult::Fail(std::string("device events: cannot open the ") + source +
                           " uevent socket");
  }
  int r = udev_monitor_filter_add_match_subsystem_devtype(m, "hidraw", nullptr);
  if (r >= 0) r = udev_monitor_enable_receiving(m);
  if (r < 0) {
    udev_monitor_unref(m);
    udev_unref(u);
    return HidResult::Fail(HidErrnoText(-r, "device events", "uevent socket"));
  }
  out = std::make_unique<UdevHidrawMonitor>(u, m);
  return HidResult::Ok();
}

}  // namespace kbt
