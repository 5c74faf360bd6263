// `kbupdate list`: every HID interface the platform's HID layer sees, with
// the figures discovery matches on and the rule it would apply. It sends
// nothing, so it is safe beside a running update; it opens only the
// interfaces that discovery would use, to show whether it may (on Linux the
// missing access rule is what keeps a keyboard unseen).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/common_options.h"
#include "cli/console.h"
#include "cli/json_lines.h"
#include "cli/verbs.h"
#include "device/discovery_rules.h"
#include "device/hid.h"
#include "sim/sim_bus.h"
#ifdef KB_HAVE_PLATFORM_HID
#include "device/platform_hid.h"
#endif

namespace kbt::cli {

const char kListHelp[] =
    "usage: kbupdate list [--simulate [--sim-memory FILE]] [--json]\n"
    "\n"
    "Lists every HID interface present now: its path, vendor and product ID,\n"
    "the usage page of its first top-level collection, its longest feature\n"
    "report in bytes (report ID byte included) and what device discovery makes\n"
    "of it:\n"
    "  data       the update-mode keyboard's Data interface (2050-byte reports)\n"
    "  command    the update-mode keyboard's Command interface (6-byte reports)\n"
    "  enter      a keyboard in normal operation: discovery would send it the\n"
    "             Enter-update-mode pair\n"
    "  -          nothing\n"
    "Interfaces whose attributes or report descriptor cannot be read are shown\n"
    "with '?' and match no rule. For the interfaces that discovery would use,\n"
    "the last column says whether they can be opened for reading and writing\n"
    "(\"ok\") or why not. Nothing is sent.\n"
    "\n"
    "On Linux the interfaces are hidraw nodes; listing needs no access rights,\n"
    "updating does (see README, \"Linux: device access\").\n"
    "\n"
    "  --simulate  list the simulated keyboard instead of the real interfaces\n"
    "  --sim-memory FILE  the simulated keyboard's flash (see kbupdate flash --help)\n"
    "  --json      one JSON object per line on stdout instead of the table:\n"
    "    type          \"interface\"\n"
    "    path          the interface's device path\n"
    "    info_valid    false when attributes or descriptor could not be read (the\n"
    "                  figures below are then absent)\n"
    "    vendor_id, product_id, usage_page, feature_report_length   numbers\n"
    "    discovery     \"data\", \"command\", \"enter\" or \"-\" (see above)\n"
    "    access        \"ok\", the reason it cannot be opened, or \"-\" when\n"
    "                  discovery would not use it\n"
    "\n"
    "exit codes: 0 listed (also when there is none); 2 wrong command line;\n"
    "            3 the --sim-memory file cannot be read;\n"
    "            7 no HID access (no HID layer in this build, or it failed)\n";

namespace {

const char* RuleText(DiscoveryRule rule) {
  switch (rule) {
    case DiscoveryRule::DataInterface:
      return "data";
    case DiscoveryRule::CommandInterface:
      return "command";
    case DiscoveryRule::NormalModeCommand:
      return "enter";
    case DiscoveryRule::None:
      break;
  }
  return "-";
}

std::string Narrow(const DevicePath& path) {
  std::string out;
  for (const wchar_t c : path) out.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// Whether discovery could open the interface: "ok" or the layer's reason.
std::string AccessOf(HidBackend& hid, const DevicePath& path) {
  std::unique_ptr<HidDevice> device;
  const HidResult r = hid.Open(path, device);
  return r ? std::string("ok") : r.error;
}

}  // namespace

std::vector<std::string> AccessProblems(HidBackend& hid) {
  std::vector<std::string> problems;
  std::vector<HidInterfaceInfo> interfaces;
  if (!hid.Enumerate(interfaces)) return problems;
  for (const auto& i : interfaces) {
    if (ClassifyInterface(i, false) == DiscoveryRule::None) continue;
    std::unique_ptr<HidDevice> device;
    if (const HidResult r = hid.Open(i.path, device); !r) problems.push_back(r.error);
  }
  return problems;
}

namespace {

struct ListOptions {
  DeviceOptions device;
  bool json = false;
};

void PrintTable(HidBackend& hid, const std::vector<HidInterfaceInfo>& interfaces) {
  if (interfaces.empty()) {
    std::printf("no HID interfaces present\n");
    return;
  }
  std::size_t width = 4;
  for (const auto& i : interfaces) width = std::max(width, Narrow(i.path).size());
  std::printf("%-*s  vendor  product  page    feature  discovery  access\n",
              static_cast<int>(width), "path");
  for (const auto& i : interfaces) {
    const std::string path = Narrow(i.path);
    if (!i.infoValid) {
      std::printf("%-*s  ?       ?        ?       ?        -          -\n", static_cast<int>(width),
                  path.c_str());
      continue;
    }
    // A fresh discovery sees no hold; the list shows what it would do.
    const DiscoveryRule rule = ClassifyInterface(i, false);
    const std::string access = rule == DiscoveryRule::None ? "-" : AccessOf(hid, i.path);
    std::printf("%-*s  %04x    %04x     0x%04x  %7u  %-9s  %s\n", static_cast<int>(width),
                path.c_str(), i.vendorId, i.productId, i.usagePage,
                static_cast<unsigned>(i.featureReportLength), RuleText(rule), access.c_str());
  }
}

void PrintJson(HidBackend& hid, const std::vector<HidInterfaceInfo>& interfaces) {
  for (const auto& i : interfaces) {
    Json j;
    j["type"] = "interface";
    j["path"] = Narrow(i.path);
    j["info_valid"] = i.infoValid;
    if (i.infoValid) {
      const DiscoveryRule rule = ClassifyInterface(i, false);
      j["vendor_id"] = i.vendorId;
      j["product_id"] = i.productId;
      j["usage_page"] = i.usagePage;
      j["feature_report_length"] = i.featureReportLength;
      j["discovery"] = RuleText(rule);
      j["access"] = rule == DiscoveryRule::None ? "-" : AccessOf(hid, i.path);
    }
    PrintJsonLine(j);
  }
}

int RunList(ListOptions& o) {
  if (const std::string e = FinishDeviceOptions(o.device); !e.empty()) {
    Error(e + " (see kbupdate list --help)");
    return kExitUsage;
  }
  std::unique_ptr<HidBackend> hid;
  if (o.device.simulate) {
    auto bus = std::make_unique<sim::SimBus>(sim::SimMode::Normal);
    std::vector<std::uint8_t> memory;
    std::string error;
    if (!LoadSimMemory(o.device.simMemory, memory, error)) {
      Error(error);
      return kExitInput;
    }
    SetSimMemory(*bus, memory);
    hid = std::move(bus);
  } else {
#ifdef KB_HAVE_PLATFORM_HID
    hid = MakePlatformHidBackend();
#endif
  }
  if (!hid) {
    Error("this build has no HID layer for this system; --simulate lists the simulated keyboard");
    return kExitNoHid;
  }
  std::vector<HidInterfaceInfo> interfaces;
  if (const HidResult r = hid->Enumerate(interfaces); !r) {
    Error(r.error);
    return kExitNoHid;
  }
  if (o.json) {
    PrintJson(*hid, interfaces);
  } else {
    PrintTable(*hid, interfaces);
  }
  return kExitOk;
}

}  // namespace

VerbRun SetUpList(CLI::App& command) {
  auto o = std::make_shared<ListOptions>();
  AddDeviceOptions(command, o->device, kSimulate | kSimMemory);
  AddJsonOption(command, o->json);
  return [o] { return RunList(*o); };
}

}  // namespace kbt::cli
