// Keyboards, not interfaces: the HID layer lists interfaces, one physical
// keyboard presents several (a boot keyboard and a vendor interface in
// normal operation, Data and Command in update mode), and a machine may hold
// several keyboards. FindKeyboards groups the interfaces by the keyboard's
// place on the bus (HidInterfaceInfo::location), which stays the same when
// the keyboard re-enumerates into update mode, so that a keyboard switched by
// the Enter-update-mode pair is found again at the same location.
//
// FindKeyboards is pure: it decides from what the layer listed and from
// whether each interface could be opened (ProbeInterfaces), and touches no
// device. The command line, the station and the dialog's discovery all start
// from its list; the dialog reduces it to one Data and one Command path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/discovery_rules.h"
#include "device/hid.h"
#include "device/sleep.h"

namespace kbt {

// One listed interface and whether it could be opened for reading and
// writing (ok, or the layer's reason). Interfaces that no rule would use
// are not opened: their `open` stays ok.
struct InterfaceProbe {
  HidInterfaceInfo info;
  HidResult open;
};

enum class KeyboardMode { Normal, Update };

struct Keyboard {
  std::string location;
  KeyboardMode mode = KeyboardMode::Normal;
  std::string serial;  // the first non-empty serial of its interfaces
  // Normal operation: the vendor interfaces that take the Enter-update-mode
  // pair, in listing order.
  std::vector<DevicePath> vendor;
  // Update mode: the Data and Command interfaces; the last one listed of
  // each kind, empty when there is none.
  DevicePath data;
  DevicePath command;
  // Indexes into the probe list: every usable interface of the keyboard, and
  // the Data and Command ones on their own (the dialog's reduction needs the
  // listing order across keyboards).
  std::vector<std::size_t> interfaces;
  std::vector<std::size_t> dataInterfaces;
  std::vector<std::size_t> commandInterfaces;
  // What the listing said of every usable interface, the paths above among
  // them: opening them through it (HidBackend::OpenListed) refuses a path
  // that has come to name another device since.
  std::vector<HidInterfaceInfo> listed;

  // The listing of `path`, or null when the keyboard has no such interface.
  const HidInterfaceInfo* Listing(const DevicePath& path) const;

  // Update mode with both interfaces, or normal operation with a vendor
  // interface: a session can start on it.
  bool Complete() const {
    return mode == KeyboardMode::Update ? !data.empty() && !command.empty() : !vendor.empty();
  }
};

struct SkippedInterface {
  DevicePath path;
  std::string location;
  std::string reason;  // "permission denied on /dev/hidraw3 ...", "report descriptor unreadable"
  // The system refused access to it: an access rule would let it open.
  bool accessDenied = false;
  // Its IDs when they could be read (the rule that gives access names them).
  bool infoValid = false;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

struct KeyboardList {
  // In the order of each keyboard's first listed interface.
  std::vector<Keyboard> keyboards;
  // Interfaces a rule would use but that cannot be (opened, described).
  std::vector<SkippedInterface> skipped;

  const Keyboard* At(const std::string& location) const;
  std::vector<std::string> Locations() const;
};

// The location shown for interfaces whose layer could not tell one.
inline constexpr char kUnknownLocation[] = "unknown";

// Lists the interfaces present now and opens, then closes, each one that a
// rule would use (a fresh discovery's view: no hold), to learn whether it
// may. Fails only when the listing itself fails.
HidResult ProbeInterfaces(HidBackend& hid, std::vector<InterfaceProbe>& out);

// One entry per keyboard, grouped by location, and what was skipped and why.
KeyboardList FindKeyboards(const std::vector<InterfaceProbe>& probes);

// The Enter-update-mode pair on one open vendor interface: 05 75, then
// 05 AB, 20 ms after each (through `sleep`, empty: real waits), at most 100
// times, until the 0xAB report fails (the keyboard has left the bus to come
// back in update mode).
void SendEnterUpdateMode(HidDevice& device, std::uint16_t featureLength, const Sleeper& sleep = {});

// Opens each vendor interface of a keyboard in normal operation, as listed,
// and sends it the pair. False when none could be opened (with the reason).
HidResult EnterUpdateMode(HidBackend& hid, const Keyboard& keyboard, const Sleeper& sleep = {});

// The dialog's path buffers hold 260 wide characters: 259 plus the
// terminating zero. A longer path does not fit and is skipped, never cut: a
// cut path would name another interface or none.
inline constexpr std::size_t kPathCapacity = 260;
inline bool PathFits(const DevicePath& path) {
  return path.size() < kPathCapacity;
}

// The dialog's view of the list: the Data and Command paths that a walk in
// listing order would have kept last (the last match wins, also across
// keyboards), each only when it fits the 260-character path buffers, and the
// number of Data interfaces found.
struct DialogMatch {
  DevicePath data;
  DevicePath command;
  int dataInterfaces = 0;
};
DialogMatch ReduceForDialog(const KeyboardList& list, const std::vector<InterfaceProbe>& probes);

}  // namespace kbt
