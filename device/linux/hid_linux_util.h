// Pure helpers of the Linux HID backend, kept apart so that they are tested
// without a device: reading the parent HID device's HID_ID property, turning
// an errno into the seam's error text, telling whether a node is still the
// interface a listing described, and reading a sysfs file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/hid.h"

namespace kbt {

// HID_ID looks like "0003:00000603:00001020" (bus, vendor, product in hex).
// False when it does not have that shape or an ID does not fit 16 bits.
bool ParseHidId(const std::string& text, std::uint16_t& vendor, std::uint16_t& product);

// "<what>: device gone" for ENODEV and its relatives, "<what>: permission
// denied on <path>" with a hint about the access rules for EACCES/EPERM,
// "<what>: <strerror>" for everything else.
std::string HidErrnoText(int error, const std::string& what, const std::string& path);

// Which libudev monitor source brings hidraw arrivals once the node is
// usable. With a udev daemon running (its control socket at
// `udevControlPath`, normally /run/udev/control), the kernel's uevent comes
// before the daemon has applied the access rules: a user's open would be
// refused, and no later kernel event says that the node has become usable.
// The daemon's own "udev" events come after its rules. Without a daemon only
// the kernel's "kernel" events exist, and the node is as devtmpfs made it.
const char* UeventSource(const char* udevControlPath);

// The keyboard's location from a HID phys string: everything before its last
// "/input" part ("usb-0000:00:14.0-2/input1" gives "usb-0000:00:14.0-2"), or
// the whole string when it has none.
std::string LocationFromPhys(const std::string& phys);

// What a hidraw node is now, read through an open handle of it
// (HIDIOCGRAWINFO, and the location as the listing makes it: the USB
// ancestor's port path, else the phys string of HIDIOCGRAWPHYS).
struct HidrawIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string location;
};

// Whether the node `node` is still the interface `listed` described: a
// hidraw minor passes to the next HID device once its last handle closes, so
// a path from an earlier listing may name another keyboard by now. Checks
// vendor and product when the listing had valid attributes, the location
// when it had one. The failure says what the node is now and what was
// listed.
HidResult CheckListedIdentity(const HidInterfaceInfo& listed, const HidrawIdentity& now,
                              const std::string& node);

// The node path as the seam carries it, and back. A path with characters
// outside ASCII cannot be a hidraw node; Narrow gives false for it.
DevicePath WidenPath(const std::string& path);
bool NarrowPath(const DevicePath& path, std::string& out);

// Reads a sysfs attribute (report_descriptor) whole. False, with the errno
// in `error`, when it cannot be opened or a read fails part way: read()
// fails with ENODEV once the device has left the bus, also on a file opened
// before it left. A failed read throws nothing (libstdc++'s file streams
// throw out of their iterators on one).
bool ReadAttributeFile(const std::string& path, std::vector<std::uint8_t>& out, int& error);

}  // namespace kbt
