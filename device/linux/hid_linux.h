// The Linux side of the HID seam: hidraw nodes found with libudev, feature
// reports over HIDIOCSFEATURE/HIDIOCGFEATURE, and hidraw arrival/removal
// from kernel uevents. Neither libudev nor the hidraw headers leak out of
// the .cpp files; callers see the seam of device/hid.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/hid.h"
#include "device/linux/hid_linux_util.h"

namespace kbt {

// Reads what the hidraw node open as `fd` is now (OpenListed's check).
using HidrawIdentityReader =
    std::function<HidResult(int fd, const std::string& node, HidrawIdentity& out)>;

// How the backend reads a sysfs attribute (ReadAttributeFile of
// hid_linux_util.h); tests hand in one that fails as a departing device does.
using SysfsReader =
    std::function<bool(const std::string& path, std::vector<std::uint8_t>& out, int& error)>;

// `reader` replaces the ioctls and sysfs look-up of OpenListed's check (tests
// fake a node's answers with it), `readAttribute` the reads of sysfs
// attributes; empty: the real ones.
std::unique_ptr<HidBackend> MakeLinuxHidBackend(HidrawIdentityReader reader = {},
                                                SysfsReader readAttribute = {});

// Arrival and removal of hidraw nodes: from the kernel's own uevents where no
// udev daemon runs (a minimal system or a container), from the daemon's
// relayed ones where it does, so that an arrival comes only once the access
// rules have been applied to the node. A front end watches Fd() in its
// event loop (poll, QSocketNotifier) and calls ReadEvents() when it is
// readable. Events carry the node path (/dev/hidrawN), which the kernel may
// hand to a different device after re-enumeration.
class HidrawMonitor {
 public:
  virtual ~HidrawMonitor() = default;

  static HidResult Open(std::unique_ptr<HidrawMonitor>& out);

  virtual int Fd() const = 0;
  // Every event queued now; never blocks.
  virtual std::vector<DeviceEvent> ReadEvents() = 0;
  // Waits at most timeoutMs for the socket to become readable, then reads
  // what is queued. Returns an empty list on timeout.
  virtual std::vector<DeviceEvent> WaitEvents(int timeoutMs) = 0;
};

}  // namespace kbt
