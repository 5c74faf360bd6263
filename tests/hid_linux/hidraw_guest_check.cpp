// The hidraw backend and the uevent monitor against real kernel HID devices:
// run inside the real-kernel test's guest (tools/vm/), where kbsim-uhid
// presents the simulated keyboard in normal operation through /dev/uhid.
// It checks the byte conventions of the seam as the kernel really carries
// them and what a listing makes of a keyboard whose attributes can no
// longer be read, then switches the keyboard into update mode and follows
// the re-enumeration through the monitor. Prints one line per check and exits 0
// only when all passed.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ios>
#include <set>
#include <string>
#include <vector>

#include "device/discovery_rules.h"
#include "device/keyboards.h"
#include "device/linux/hid_linux.h"
#include "device/linux/hid_linux_util.h"
#include "device/platform_hid.h"
#include "sim/keyboard_model.h"

namespace kbt {
namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("hidraw-check: %s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++g_failures;
}

std::string Text(const DevicePath& path) {
  std::string s;
  NarrowPath(path, s);
  return s;
}

const HidInterfaceInfo* Find(const std::vector<HidInterfaceInfo>& all, std::uint16_t vendor,
                             std::uint16_t page, std::uint16_t length) {
  for (const auto& i : all) {
    if (i.infoValid && i.vendorId == vendor && i.usagePage == page &&
        i.featureReportLength == length)
      return &i;
  }
  return nullptr;
}

int Run() {
  std::unique_ptr<HidrawMonitor> monitor;
  const HidResult opened = HidrawMonitor::Open(monitor);
  Check(opened.ok, "monitor on kernel uevents opens " + opened.error);
  if (!monitor) return 1;

  // A second listener that reads nothing until the re-enumeration is over.
  std::unique_ptr<DeviceEventSource> source = MakePlatformDeviceEventSource();
  Check(source != nullptr, "device event source for the command line");
  if (!source) return 1;

  std::unique_ptr<HidBackend> hid = MakeLinuxHidBackend();
  std::vector<HidInterfaceInfo> all;
  const HidInterfaceInfo* boot = nullptr;
  const HidInterfaceInfo* vendor = nullptr;
  // The keyboard may still be coming back from an update that just ended.
  const auto present = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  bool listed = false;
  do {
    if (boot || listed) monitor->WaitEvents(200);
    listed = hid->Enumerate(all).ok;
    boot = Find(all, sim::kSimNormalVendorId, 0x0001, 0);
    vendor = Find(all, sim::kSimNormalVendorId, kVendorUsagePage, kCommandFeatureLength);
  } while ((!boot || !vendor) && std::chrono::steady_clock::now() < present);
  Check(listed, "enumerate");
  Check(boot && boot->productId == sim::kSimNormalProductId,
        "boot keyboard interface: page 1, no feature report");
  Check(vendor != nullptr, "vendor interface: page 0xff00, 6-byte feature report");
  if (!boot || !vendor) return 1;
  const std::set<DevicePath> oldPaths = {boot->path, vendor->path};

  // A keyboard that leaves the bus between the listing and the read of its
  // report_descriptor: the read fails with ENODEV. Its interfaces are
  // listed undescribed and discovery skips them with a note. A reader that
  // throws (as libstdc++'s file streams do on such a read) ends in a failed
  // listing; nothing leaves the HID layer.
  {
    std::unique_ptr<HidBackend> gone =
        MakeLinuxHidBackend({}, [](const std::string&, std::vector<std::uint8_t>& out, int& error) {
          out.clear();
          error = ENODEV;
          return false;
        });
    std::vector<InterfaceProbe> probes;
    const HidResult listed = ProbeInterfaces(*gone, probes);
    bool undescribed = listed.ok && !probes.empty();
    for (const InterfaceProbe& p : probes) undescribed = undescribed && !p.info.infoValid;
    Check(undescribed,
          "a report_descriptor read that fails with ENODEV: listed, undescribed " + listed.error);
    const KeyboardList list = FindKeyboards(probes);
    Check(list.keyboards.empty() && list.skipped.size() == probes.size(),
          "discovery skips them with a note: " +
              (list.skipped.empty() ? std::string("none") : list.skipped.front().reason));

    std::unique_ptr<HidBackend> throwing =
        MakeLinuxHidBackend({}, [](const std::string&, std::vector<std::uint8_t>&, int&) -> bool {
          throw std::ios_base::failure("basic_filebuf::underflow error reading the file");
        });
    std::vector<HidInterfaceInfo> seen;
    HidResult r(HidResult::Ok());
    bool escaped = false;
    try {
      r = throwing->Enumerate(seen);
    } catch (...) {
      escaped = true;
    }
    Check(!escaped && !r.ok && seen.empty(),
          "a reader that throws: a failed listing, no exception out of it: " + r.error);
  }

  std::unique_ptr<HidDevice> dev;
  const HidResult o = hid->Open(vendor->path, dev);
  Check(o.ok, "open " + Text(vendor->path) + " " + o.error);
  if (!dev) return 1;

  std::vector<std::uint8_t> report(6, 0);
  report[0] = 5;
  std::size_t received = 0;
  HidResult r = dev->GetFeature(report, received);
  Check(r.ok && received == 6 && report[0] == 5,
        "get feature 5 with 6 bytes: the reply carries its report ID " + r.error);

  // The kernel cuts nothing short on its own: a longer buffer than the
  // report must fail on the length, not pass with stale bytes.
  std::vector<std::uint8_t> longBuffer(kDataFeatureLength, 0);
  longBuffer[0] = 5;
  r = dev->GetFeature(longBuffer, received);
  Check(!r.ok && received == 6 && r.error.find("6 of 2050") != std::string::npos,
        "get feature 5 with 2050 bytes fails on the reply length: " + r.error);

  r = dev->SetFeature(std::span<const std::uint8_t>());
  Check(!r.ok, "an empty set is refused before the kernel: " + r.error);

  report.assign(6, 0);
  report[0] = 5;
  report[1] = 0x75;
  r = dev->SetFeature(report);
  Check(r.ok, "set feature 05 75 00 00 00 00 " + r.error);
  monitor->ReadEvents();  // nothing of interest before the entry command
  report[1] = 0xAB;
  r = dev->SetFeature(report);
  Check(r.ok, "set feature 05 ab 00 00 00 00 (the keyboard leaves the bus after it) " + r.error);

  // Both old nodes go, two new ones come: follow the kernel's uevents.
  std::set<DevicePath> removed, arrived;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((removed.size() < 2 || arrived.size() < 2) &&
         std::chrono::steady_clock::now() < deadline) {
    for (const DeviceEvent& ev : monitor->WaitEvents(500)) {
      if (ev.kind == DeviceEvent::Kind::Removal) removed.insert(ev.path);
      if (ev.kind == DeviceEvent::Kind::Arrival) arrived.insert(ev.path);
    }
  }
  Check(removed == oldPaths, "removal events carry both old node paths");
  Check(arrived.size() == 2, "two arrival events with node paths");

  // What is queued must come out with a zero wait too: the command line
  // asks that way whether more interfaces arrived during its ready delay.
  int queued = 0;
  DeviceEvent ev;
  while (source->WaitEvent(ev, 0)) ++queued;
  Check(queued >= 4, "a zero wait yields every queued event (" + std::to_string(queued) + ")");

  report[1] = 0x75;
  r = dev->SetFeature(report);
  Check(!r.ok && r.error.find("device gone") != std::string::npos,
        "a set on the departed interface says: " + r.error);
  dev.reset();

  Check(hid->Enumerate(all).ok, "enumerate after re-enumeration");
  const HidInterfaceInfo* data = Find(all, kUpdateVendorId, kVendorUsagePage, kDataFeatureLength);
  const HidInterfaceInfo* command =
      Find(all, kUpdateVendorId, kVendorUsagePage, kCommandFeatureLength);
  Check(data && data->productId == kUpdateProductId && arrived.count(data->path),
        "update-mode Data interface: 0603/1020, page 0xff00, 2050 bytes, announced");
  Check(command && command->productId == kUpdateProductId && arrived.count(command->path),
        "update-mode Command interface: 0603/1020, page 0xff00, 6 bytes, announced");
  if (!data || !command) return 1;

  // 2050 bytes go out as 2050 bytes: the device sees the whole Data report
  // (the model refuses any other length). No Begin came, so the model
  // refuses the write itself; what matters is that the length arrived.
  std::unique_ptr<HidDevice> cmd;
  Check(hid->Open(command->path, cmd).ok && cmd, "open the Command interface");
  if (!cmd) return 1;
  const std::vector<std::uint8_t> begin = {0x05, 0x45, 0x45, 0x45, 0x45, 0x45};
  r = cmd->SetFeature(begin);
  Check(r.ok, "Begin command 05 45 45 45 45 45 accepted " + r.error);
  std::vector<std::uint8_t> padded(kDataFeatureLength, 0x45);
  padded[0] = 0x05;
  r = cmd->SetFeature(padded);
  Check(!r.ok,
        "a 2050-byte buffer on the Command interface reaches the device as 2050 "
        "bytes and is refused: " +
            r.error);

  std::printf("hidraw-check: %s (%d failed)\n", g_failures ? "FAILED" : "PASSED", g_failures);
  return g_failures ? 1 : 0;
}

}  // namespace
}  // namespace kbt

int main() {
  return kbt::Run();
}
