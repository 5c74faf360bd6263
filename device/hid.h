// The HID seam: the few operations the device logic needs of a HID layer.
// Implemented by hid_linux.cpp (hidraw + libudev), hid_windows.cpp (SetupAPI +
// the HID class) and the simulated keyboard (sim/). No platform header is
// included here or by any caller.
//
// Byte conventions, the same on every backend:
// - A feature report buffer starts with its report ID in byte 0, also for a
//   device that uses no report IDs (then byte 0 is 0).
// - SetFeature delivers exactly the bytes given: no padding, no cutting. A
//   6-byte Command report goes out as 6 bytes.
// - GetFeature: the caller puts the wanted report ID in byte 0; the reply
//   (report ID in byte 0, then the report's bytes) fills the buffer and the
//   call reports how many bytes came. It succeeds only when the reply has the
//   length of the buffer.
// - Every call answers success or failure; a failure carries a short text for
//   the command line ("device gone", "permission denied: ..."). There is no
//   "last error" anywhere.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kbt {

// Device paths are wide strings as Windows names interfaces; Linux paths are
// plain ASCII node paths (/dev/hidrawN) carried in the same type.
using DevicePath = std::wstring;

// Whole-string comparison without regard to letter case, character by
// character as towlower folds them. Windows interface paths differ in case
// between the notification and the enumeration.
bool SameDevicePath(const DevicePath& a, const DevicePath& b);
// The path as SameDevicePath compares it: a key for maps of paths.
DevicePath FoldedDevicePath(const DevicePath& path);

struct HidResult {
  bool ok = true;
  std::string error;  // empty when ok
  // The system refused the caller access to the interface (Linux: EACCES or
  // EPERM on the hidraw node). An access rule helps, retrying does not.
  bool accessDenied = false;

  static HidResult Ok() { return {}; }
  static HidResult Fail(std::string text) { return {false, std::move(text)}; }
  static HidResult Denied(std::string text) { return {false, std::move(text), true}; }
  explicit operator bool() const { return ok; }
};

struct HidInterfaceInfo {
  DevicePath path;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  // Usage page of the first top-level collection.
  std::uint16_t usagePage = 0;
  // Longest feature report in bytes, report ID byte included (as Windows'
  // HidP_GetCaps FeatureReportByteLength); 0 when the interface has none.
  std::uint16_t featureReportLength = 0;
  // False when attributes or capabilities could not be read; such an
  // interface matches no discovery rule.
  bool infoValid = true;
  // The physical keyboard's place on the bus, the same before and after it
  // re-enumerates into update mode: the USB port path on Linux ("1-2.3"),
  // the HID phys string up to its last "/input" where there is no USB
  // parent, the parent USB device's location on Windows, "sim-N" for a
  // simulated keyboard. Empty when the layer cannot tell.
  std::string location;
  // The device's serial number string, empty when it reports none.
  std::string serial;
  // The system's name for this one appearance of the interface, which a
  // device that later gets the same path does not share (Linux: the sysfs
  // path, in which the kernel numbers every HID device anew). Empty where
  // the layer has none.
  std::string instance{};
};

class HidDevice {
 public:
  virtual ~HidDevice() = default;  // closes the interface

  virtual HidResult SetFeature(std::span<const std::uint8_t> report) = 0;
  // On success `received` == report.size().
  virtual HidResult GetFeature(std::span<std::uint8_t> report, std::size_t& received) = 0;
};

class HidBackend {
 public:
  virtual ~HidBackend() = default;

  // The HID interfaces present now, in the platform's order.
  virtual HidResult Enumerate(std::vector<HidInterfaceInfo>& out) = 0;

  // Opens an interface for reading and writing, shared with other openers.
  virtual HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) = 0;

  // Opens the interface that a listing (Enumerate) described, and only that
  // one. Where a path can come to name another device, the layer checks the
  // node's vendor, product and location against `listed` and refuses a node
  // that has become another device: Linux hands a hidraw node whose last
  // handle closed to the next HID device that arrives. An empty listed
  // location, or a listing without valid attributes, checks only what it
  // holds. Layers whose paths never pass to another device open by path:
  // a Windows interface path carries the device's IDs and instance, and a
  // simulated keyboard's paths are new at every arrival.
  virtual HidResult OpenListed(const HidInterfaceInfo& listed, std::unique_ptr<HidDevice>& out) {
    return Open(listed.path, out);
  }
};

// Device events as the dialog sees them.
struct DeviceEvent {
  enum class Kind { Arrival, Removal, Other };
  Kind kind = Kind::Other;
  // True when the event concerns a device interface (Windows' device type 5,
  // DBT_DEVTYP_DEVICEINTERFACE); only such removals carry a path.
  bool isDeviceInterface = true;
  DevicePath path;
  // When the system reported it: taken where the event arrives (a source's
  // own reading thread, the bus that emits it), not when a consumer gets
  // round to it, so that a consumer that was busy still knows how long a
  // keyboard was away. Unset (the clock's epoch) when a source gives none.
  std::chrono::steady_clock::time_point at{};
  // The interface's HidInterfaceInfo::instance, where the source tells it.
  std::string instance{};
};

}  // namespace kbt
