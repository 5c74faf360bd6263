#include "cli/devices.h"

#include <algorithm>
#include <chrono>

#include "cli/verbs.h"
#include "device/discovery_rules.h"
#include "device/sleep.h"
#ifdef KB_HAVE_PLATFORM_HID
#include "device/platform_hid.h"
#endif

namespace kbt::cli {

std::unique_ptr<Devices> Devices::Open(const DeviceOptions& options, std::string& error,
                                       int& exitCode) {
  auto d = std::make_unique<Devices>();
  if (options.simulate) {
    std::vector<std::uint8_t> memory;
    if (!LoadSimMemory(options.simMemory, memory, error)) {
      exitCode = kExitInput;
      return nullptr;
    }
    sim::SimBusOptions bus;
    bus.reenumerateDelayMs = 300;  // a short re-enumeration, like a real one
    d->hub_ = std::make_unique<sim::SimHub>(static_cast<int>(options.simKeyboards),
                                            sim::SimMode::Normal, bus);
    for (int k = 1; k <= d->hub_->Count(); ++k) SetSimMemory(d->hub_->Keyboard(k), memory);
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
  std::vector<InterfaceProbe> probes;
  if (const HidResult r = ProbeInterfaces(*hid_, probes); !r) {
    error = r.error;
    return false;
  }
  list = FindKeyboards(probes);
  return true;
}

void Devices::WaitForChange(unsigned ms, const std::atomic<bool>* cancel) {
  // In slices, so that an interrupt is seen promptly.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!(cancel && cancel->load())) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    const unsigned slice = static_cast<unsigned>(std::min<long long>(left.count(), 100));
    DeviceEvent event;
    if (events_) {
      if (events_->WaitEvent(event, slice)) return;
    } else {
      SleepMs(slice);
    }
  }
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
