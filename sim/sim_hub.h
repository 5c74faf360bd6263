// Several simulated keyboards at once, each a SimBus of its own at location
// sim-1, sim-2, ... with paths /dev/sim-K-hidrawN: one HidBackend over all
// of them, listing keyboard 1's interfaces first. Faults, unplugging and the
// trace are per keyboard (Keyboard(k)).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/hid.h"
#include "sim/sim_bus.h"

namespace kbt::sim {

std::string SimLocation(int k);  // "sim-K"

class SimHub : public HidBackend {
 public:
  // `options` apply to every keyboard; location and path prefix are the hub's.
  SimHub(int keyboards, SimMode start = SimMode::Normal, const SimBusOptions& options = {});

  HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override;
  HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) override;

  // Every keyboard's arrivals and removals, from any thread.
  void SetEventCallback(std::function<void(const DeviceEvent&)> callback);

  int Count() const { return static_cast<int>(buses_.size()); }
  // Keyboard k, from 1.
  SimBus& Keyboard(int k) { return *buses_.at(static_cast<std::size_t>(k - 1)); }

 private:
  std::vector<std::unique_ptr<SimBus>> buses_;
};

}  // namespace kbt::sim
