// An update-mode simulated keyboard whose paths discovery has recorded, with
// recorded waits and outputs and the progress bar as a Start leaves it.
#pragma once

#include <gtest/gtest.h>

#include "device/update_run.h"
#include "device/workers.h"
#include "sim/sim_bus.h"
#include "support.h"

namespace kbt::test {

inline std::string BlockHex(std::size_t k, bool firstByteZero = false) {
  std::vector<std::uint8_t> block(g_ImageBuffer + k * 2048, g_ImageBuffer + (k + 1) * 2048);
  if (firstByteZero) block[0] = 0;
  return HexBytes(block.data(), block.size());
}

// Discovery, entry of a normal-mode keyboard included, until the Data
// interface is recorded; the bus re-enumerates without delay.
inline bool DiscoverUpdateDevice(sim::SimBus& bus) {
  for (int pass = 0; pass < 3; ++pass)
    if (DeviceDiscovery(bus) > 0) return true;
  (void)bus;
  return false;
}

class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProgramState(outputs);
    FillTestImage();
    ASSERT_TRUE(DiscoverUpdateDevice(bus));
    bus.ClearTrace();
    StartProgress();
  }
  void TearDown() override { RemoveStatusOutputs(); }

  std::vector<std::string> Lines() { return TraceLines(bus.Trace()); }
  std::array<std::uint8_t, 8> Info() {
    return bus.WithModel([](sim::KeyboardModel& m) { return m.InfoBlock(); });
  }

  std::shared_ptr<RecordedOutputs> outputs = std::make_shared<RecordedOutputs>();
  RecordedSleep sleep;
  sim::SimBus bus{sim::SimMode::Update};
};

}  // namespace kbt::test
