#include "sim/sim_hub.h"

namespace kbt::sim {

std::string SimLocation(int k) {
  return "sim-" + std::to_string(k);
}

SimHub::SimHub(int keyboards, SimMode start, const SimBusOptions& options) {
  for (int k = 1; k <= keyboards; ++k) {
    SimBusOptions own = options;
    own.location = SimLocation(k);
    own.pathPrefix = L"/dev/sim-" + std::to_wstring(k) + L"-hidraw";
    buses_.push_back(std::make_unique<SimBus>(start, std::move(own)));
  }
}

HidResult SimHub::Enumerate(std::vector<HidInterfaceInfo>& out) {
  out.clear();
  for (auto& bus : buses_) {
    std::vector<HidInterfaceInfo> one;
    if (HidResult r = bus->Enumerate(one); !r) return r;
    for (auto& info : one) out.push_back(std::move(info));
  }
  return HidResult::Ok();
}

HidResult SimHub::Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) {
  for (auto& bus : buses_) {
    // Each keyboard's paths begin with its own prefix; the number after it
    // is the bus's business.
    const std::wstring prefix = L"/dev/sim-" + std::to_wstring(&bus - &buses_[0] + 1) + L"-hidraw";
    if (path.compare(0, prefix.size(), prefix) == 0) return bus->Open(path, out);
  }
  out.reset();
  return HidResult::Fail("no such device");
}

void SimHub::SetEventCallback(std::function<void(const DeviceEvent&)> callback) {
  for (auto& bus : buses_) bus->SetEventCallback(callback);
}

}  // namespace kbt::sim
