#include "device/keyboards.h"

#include <algorithm>
#include <memory>

namespace kbt {
namespace {

bool IsUpdateModeDevice(const HidInterfaceInfo& info) {
  return info.vendorId == kUpdateVendorId && info.productId == kUpdateProductId;
}

std::string LocationOf(const HidInterfaceInfo& info) {
  return info.location.empty() ? std::string(kUnknownLocation) : info.location;
}

}  // namespace

DiscoveryRule ClassifyInterface(const HidInterfaceInfo& info, bool bootEntryHold) {
  // Attributes or capabilities that could not be read say nothing reliable.
  if (!info.infoValid || info.usagePage != kVendorUsagePage) return DiscoveryRule::None;
  if (IsUpdateModeDevice(info)) {
    if (info.featureReportLength == kDataFeatureLength) return DiscoveryRule::DataInterface;
    if (info.featureReportLength == kCommandFeatureLength) return DiscoveryRule::CommandInterface;
    return DiscoveryRule::None;
  }
  if (!bootEntryHold && info.featureReportLength == kCommandFeatureLength)
    return DiscoveryRule::NormalModeCommand;
  return DiscoveryRule::None;
}

const HidInterfaceInfo* Keyboard::Listing(const DevicePath& path) const {
  for (const HidInterfaceInfo& info : listed)
    if (info.path == path) return &info;
  return nullptr;
}

const Keyboard* KeyboardList::At(const std::string& location) const {
  for (const Keyboard& k : keyboards)
    if (k.location == location) return &k;
  return nullptr;
}

std::vector<std::string> KeyboardList::Locations() const {
  std::vector<std::string> out;
  for (const Keyboard& k : keyboards) out.push_back(k.location);
  return out;
}

HidResult ProbeInterfaces(HidBackend& hid, std::vector<InterfaceProbe>& out) {
  out.clear();
  std::vector<HidInterfaceInfo> interfaces;
  if (HidResult r = hid.Enumerate(interfaces); !r) return r;
  out.reserve(interfaces.size());
  for (HidInterfaceInfo& info : interfaces) {
    InterfaceProbe probe{std::move(info), HidResult::Ok()};
    if (ClassifyInterface(probe.info, false) != DiscoveryRule::None) {
      std::unique_ptr<HidDevice> device;
      probe.open = hid.OpenListed(probe.info, device);
      if (probe.open && !device) probe.open = HidResult::Fail("open: no device");
    }
    out.push_back(std::move(probe));
  }
  return HidResult::Ok();
}

KeyboardList FindKeyboards(const std::vector<InterfaceProbe>& probes) {
  KeyboardList list;
  auto keyboardAt = [&list](const std::string& location) -> Keyboard& {
    for (Keyboard& k : list.keyboards)
      if (k.location == location) return k;
    list.keyboards.push_back(Keyboard{});
    list.keyboards.back().location = location;
    return list.keyboards.back();
  };

  for (std::size_t i = 0; i < probes.size(); ++i) {
    const HidInterfaceInfo& info = probes[i].info;
    if (!info.infoValid) {
      // It might be one of ours: nothing reliable says it is not.
      list.skipped.push_back(
          {info.path, LocationOf(info), "attributes or report descriptor cannot be read"});
      continue;
    }
    const DiscoveryRule rule = ClassifyInterface(info, false);
    if (rule == DiscoveryRule::None) continue;
    if (!probes[i].open) {
      list.skipped.push_back({info.path, LocationOf(info), probes[i].open.error,
                              probes[i].open.accessDenied, true, info.vendorId, info.productId});
      continue;
    }
    Keyboard& k = keyboardAt(LocationOf(info));
    k.interfaces.push_back(i);
    k.listed.push_back(info);
    if (k.serial.empty()) k.serial = info.serial;
    switch (rule) {
      case DiscoveryRule::DataInterface:
        k.mode = KeyboardMode::Update;
        k.data = info.path;
        k.dataInterfaces.push_back(i);
        break;
      case DiscoveryRule::CommandInterface:
        k.mode = KeyboardMode::Update;
        k.command = info.path;
        k.commandInterfaces.push_back(i);
        break;
      case DiscoveryRule::NormalModeCommand:
        k.vendor.push_back(info.path);
        break;
      case DiscoveryRule::None:
        break;
    }
  }
  return list;
}

void SendEnterUpdateMode(HidDevice& device, std::uint16_t featureLength, const Sleeper& sleep) {
  constexpr int kEntryAttemptLimit = 100;
  constexpr unsigned kEntryPauseMs = 20;
  constexpr std::uint8_t kCommandReportId = 0x05;
  std::vector<std::uint8_t> report(std::max<std::size_t>(featureLength, 2), 0);  // zeroed once
  for (int attempt = 0; attempt < kEntryAttemptLimit; ++attempt) {
    report[0] = kCommandReportId;
    report[1] = 0x75;
    (void)device.SetFeature(report);  // only the second report's result counts
    SleepMs(sleep, kEntryPauseMs);
    report[0] = kCommandReportId;
    report[1] = 0xAB;
    if (!device.SetFeature(report)) return;
    SleepMs(sleep, kEntryPauseMs);
  }
}

HidResult EnterUpdateMode(HidBackend& hid, const Keyboard& keyboard, const Sleeper& sleep) {
  HidResult last = HidResult::Fail("no vendor interface");
  bool any = false;
  for (const DevicePath& path : keyboard.vendor) {
    std::unique_ptr<HidDevice> device;
    const HidInterfaceInfo* listed = keyboard.Listing(path);
    last = listed ? hid.OpenListed(*listed, device) : hid.Open(path, device);
    if (!last || !device) continue;
    any = true;
    SendEnterUpdateMode(*device, kCommandFeatureLength, sleep);
  }
  return any ? HidResult::Ok() : last;
}

DialogMatch ReduceForDialog(const KeyboardList& list, const std::vector<InterfaceProbe>& probes) {
  DialogMatch match;
  std::size_t lastData = 0, lastCommand = 0;
  bool anyData = false, anyCommand = false;
  for (const Keyboard& k : list.keyboards) {
    for (const std::size_t i : k.dataInterfaces) {
      // A path that does not fit the buffers is skipped, never cut: a cut
      // path would name another interface or none.
      if (!PathFits(probes[i].info.path)) continue;
      ++match.dataInterfaces;
      if (!anyData || i > lastData) lastData = i;
      anyData = true;
    }
    for (const std::size_t i : k.commandInterfaces) {
      if (!PathFits(probes[i].info.path)) continue;
      if (!anyCommand || i > lastCommand) lastCommand = i;
      anyCommand = true;
    }
  }
  if (anyData) match.data = probes[lastData].info.path;
  if (anyCommand) match.command = probes[lastCommand].info.path;
  return match;
}

}  // namespace kbt
