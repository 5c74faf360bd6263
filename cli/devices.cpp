#include "cli/devices.h"

#include <algorithm>

#include "cli/verbs.h"
#include "device/discovery_rules.h"
#ifdef KB_HAVE_PLATFORM_HID
#include "device/platform_hid.h"
#endif

namespace kbt::cli {

std::unique_ptr<Devices> Devices::Open(const DeviceOptions& options, std::string& error,
                                       int& exitCode) {
  auto d = std::make_unique<Devices>();
  if (options.simulate) {
    if (!LoadSimMemory(options.simMemory, d->simMemory_, error)) {
      exitCode = kExitInput;
      return nullptr;
    }
    sim::SimBusOptions bus;
    // A short re-enumeration and the time each report takes on a
    // full-speed link, like a real keyboard's.
    bus.reenumerateDelayMs = 300;
    bus.latency = sim::FullSpeedUsbLatency;
    d->hub_ = std::make_unique<sim::SimHub>(static_cast<int>(options.simKeyboards),
                                            sim::SimMode::Normal, bus);
    for (int k = 1; k <= d->hub_->Count(); ++k) SetSimMemory(d->hub_->Keyboard(k), d->simMemory_);
    for (const auto& [k, faults] : options.faults)
      d->hub_->Keyboard(static_cast<int>(k)).SetFaults(faults);
    Devices* self = d.get();
    d->hub_->SetEventCallback([self](const DeviceEvent& e) { self->simEvents_.Push(e); });
    d->hid_ = d->hub_.get();
    d->events_ = &d->simEvents_;
    return d;
  }
#ifdef KB_HAVE_PLATFORM_HID
  d->platform_ = MakePlatformHidBackend();
  d->platformEvents_ = MakePlatformDeviceEventSource();
  d->hid_ = d->platform_.get();
  d->events_ = d->platformEvents_.get();
#endif
  if (!d->hid_) {
    exitCode = kExitNoHid;
    error = "this build has no HID layer for this system; --simulate uses simulated keyboards";
    return nullptr;
  }
  return d;
}

bool Devices::Look(KeyboardList& list, std::string& error) {
  const HidResult r = Watch().Look(list);
  if (!r) error = r.error;
  return r.ok;
}

void Devices::WaitForChange(unsigned ms, const std::atomic<bool>* cancel) {
  Watch().WaitForChange(ms, cancel);
}

std::vector<const Keyboard*> Selected(const KeyboardList& list,
                                      const std::vector<std::string>& ports) {
  std::vector<const Keyboard*> out;
  for (const Keyboard& k : list.keyboards) {
    if (ports.empty() || std::find(ports.begin(), ports.end(), k.location) != ports.end())
      out.push_back(&k);
  }
  return out;
}

std::vector<std::string> AccessProblems(HidBackend& hid) {
  std::vector<std::string> problems;
  std::vector<InterfaceProbe> probes;
  if (!ProbeInterfaces(hid, probes)) return problems;
  for (const InterfaceProbe& p : probes) {
    if (!p.info.infoValid || ClassifyInterface(p.info, false) == DiscoveryRule::None) continue;
    if (!p.open) problems.push_back(p.open.error);
  }
  return problems;
}

const char* ModeName(KeyboardMode mode) {
  return mode == KeyboardMode::Update ? "update" : "normal";
}

}  // namespace kbt::cli
