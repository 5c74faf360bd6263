// `kbupdate list`: the keyboards present, grouped by location, with every
// HID interface, the figures discovery matches on and the rule it would
// apply, and what was skipped and why. It sends nothing, so it is safe beside
// a running update; it opens only the interfaces that discovery would use, to
// show whether it may (on Linux the missing access rule is what keeps a
// keyboard unseen).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/common_options.h"
#include "cli/console.h"
#include "cli/devices.h"
#include "cli/json_lines.h"
#include "cli/verbs.h"
#include "device/discovery_rules.h"
#include "device/hid.h"
#include "device/keyboards.h"
#include "image/file_platform.h"

namespace kbt::cli {

const char kListHelp[] =
    "usage: kbupdate list [--simulate [--sim-keyboards N] [--sim-memory FILE]] [--json]\n"
    "\n"
    "Lists the keyboards present now, each by its location (its place on the\n"
    "bus, the same in normal operation and in update mode: a USB port path such\n"
    "as 1-2.3, sim-1 for a simulated keyboard), its mode and its HID interfaces,\n"
    "then the interfaces that were skipped and why. For each interface: its\n"
    "path, vendor and product ID, the usage page of its first top-level\n"
    "collection, its longest feature report in bytes (report ID byte included)\n"
    "and what device discovery makes of it:\n"
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
    "  --simulate        list simulated keyboards instead of the real ones\n"
    "  --sim-keyboards N  how many (sim-1 .. sim-N, default 1)\n"
    "  --sim-memory FILE  the simulated keyboards' flash (see kbupdate flash --help)\n"
    "  --json            one JSON object per line on stdout instead of the text,\n"
    "                    each with \"type\":\n"
    "    keyboard   location, mode (\"normal\" or \"update\"), complete (a session\n"
    "               can start on it), serial, interfaces (a list of the objects\n"
    "               below without their type)\n"
    "    interface  an interface at a location with no keyboard: location, path,\n"
    "               info_valid, and when valid vendor_id, product_id,\n"
    "               usage_page, feature_report_length, discovery, access\n"
    "    skipped    path, location, reason\n"
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

std::string LocationOf(const HidInterfaceInfo& info) {
  return info.location.empty() ? kUnknownLocation : info.location;
}

struct ListOptions {
  DeviceOptions device;
  bool json = false;
};

// The probes grouped by location, in the order each location first appears.
std::vector<std::pair<std::string, std::vector<const InterfaceProbe*>>> ByLocation(
    const std::vector<InterfaceProbe>& probes) {
  std::vector<std::pair<std::string, std::vector<const InterfaceProbe*>>> groups;
  for (const InterfaceProbe& p : probes) {
    const std::string location = LocationOf(p.info);
    auto it = std::find_if(groups.begin(), groups.end(),
                           [&](const auto& g) { return g.first == location; });
    if (it == groups.end()) it = groups.insert(groups.end(), {location, {}});
    it->second.push_back(&p);
  }
  return groups;
}

// A fresh discovery sees no hold; the list shows what it would do.
DiscoveryRule RuleOf(const InterfaceProbe& p) {
  return p.info.infoValid ? ClassifyInterface(p.info, false) : DiscoveryRule::None;
}

std::string AccessOf(const InterfaceProbe& p) {
  if (RuleOf(p) == DiscoveryRule::None) return "-";
  return p.open ? std::string("ok") : p.open.error;
}

Json InterfaceJson(const InterfaceProbe& p) {
  Json j;
  j["path"] = platform::PathForDisplay(p.info.path);
  j["info_valid"] = p.info.infoValid;
  if (p.info.infoValid) {
    j["vendor_id"] = p.info.vendorId;
    j["product_id"] = p.info.productId;
    j["usage_page"] = p.info.usagePage;
    j["feature_report_length"] = p.info.featureReportLength;
    j["discovery"] = RuleText(RuleOf(p));
    j["access"] = AccessOf(p);
  }
  return j;
}

void PrintRows(const std::vector<const InterfaceProbe*>& group) {
  std::size_t width = 4;
  for (const auto* p : group)
    width = std::max(width, platform::PathForDisplay(p->info.path).size());
  std::printf("  %-*s  vendor  product  page    feature  discovery  access\n",
              static_cast<int>(width), "path");
  for (const auto* p : group) {
    const std::string path = platform::PathForDisplay(p->info.path);
    const HidInterfaceInfo& i = p->info;
    if (!i.infoValid) {
      std::printf("  %-*s  ?       ?        ?       ?        -          -\n",
                  static_cast<int>(width), path.c_str());
      continue;
    }
    std::printf("  %-*s  %04x    %04x     0x%04x  %7u  %-9s  %s\n", static_cast<int>(width),
                path.c_str(), i.vendorId, i.productId, i.usagePage,
                static_cast<unsigned>(i.featureReportLength), RuleText(RuleOf(*p)),
                AccessOf(*p).c_str());
  }
}

std::string KeyboardState(const Keyboard& k) {
  std::string text = std::string(ModeName(k.mode)) + " mode";
  if (!k.Complete())
    text += k.mode == KeyboardMode::Update
                ? (k.data.empty() ? " (no Data interface)" : " (no Command interface)")
                : " (no vendor interface)";
  if (!k.serial.empty()) text += ", serial " + k.serial;
  return text;
}

int RunList(ListOptions& o) {
  if (const std::string e = FinishDeviceOptions(o.device); !e.empty()) {
    Error(e + " (see kbupdate list --help)");
    return kExitUsage;
  }
  std::string error;
  int failure = kExitNoHid;
  const std::unique_ptr<Devices> devices = Devices::Open(o.device, error, failure);
  if (!devices) {
    Error(error);
    return failure;
  }
  std::vector<InterfaceProbe> probes;
  if (const HidResult r = ProbeInterfaces(devices->Hid(), probes); !r) {
    Error(r.error);
    return kExitNoHid;
  }
  const KeyboardList list = FindKeyboards(probes);
  const auto groups = ByLocation(probes);
  if (o.json) {
    for (const auto& [location, group] : groups) {
      if (const Keyboard* k = list.At(location)) {
        Json interfaces = Json::array();
        for (const auto* p : group) interfaces.push_back(InterfaceJson(*p));
        PrintJsonLine({{"type", "keyboard"},
                       {"location", location},
                       {"mode", ModeName(k->mode)},
                       {"complete", k->Complete()},
                       {"serial", k->serial},
                       {"interfaces", interfaces}});
      } else {
        for (const auto* p : group) {
          Json j = {{"type", "interface"}, {"location", location}};
          j.update(InterfaceJson(*p));
          PrintJsonLine(j);
        }
      }
    }
    for (const SkippedInterface& s : list.skipped)
      PrintJsonLine({{"type", "skipped"},
                     {"path", platform::PathForDisplay(s.path)},
                     {"location", s.location},
                     {"reason", s.reason}});
    return kExitOk;
  }
  if (probes.empty()) {
    std::printf("no HID interfaces present\n");
    return kExitOk;
  }
  for (const auto& [location, group] : groups) {
    if (const Keyboard* k = list.At(location)) {
      std::printf("keyboard at %s: %s\n", location.c_str(), KeyboardState(*k).c_str());
    } else {
      std::printf("%s: no keyboard\n", location.c_str());
    }
    PrintRows(group);
  }
  if (!list.skipped.empty()) {
    std::printf("skipped:\n");
    for (const SkippedInterface& s : list.skipped)
      std::printf("  %s (%s): %s\n", platform::PathForDisplay(s.path).c_str(), s.location.c_str(),
                  s.reason.c_str());
  }
  return kExitOk;
}

}  // namespace

VerbRun SetUpList(CLI::App& command) {
  auto o = std::make_shared<ListOptions>();
  AddDeviceOptions(command, o->device, kSimulate | kSimKeyboards | kSimMemory);
  AddJsonOption(command, o->json);
  return [o] { return RunList(*o); };
}

}  // namespace kbt::cli
