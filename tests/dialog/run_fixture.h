// An update-mode simulated keyboard whose paths discovery has recorded in a
// dialog's state, with recorded waits and outputs and the progress bar as a
// Start leaves it.
#pragma once

#include <gtest/gtest.h>

#include "dialog/discovery.h"
#include "dialog/update_run.h"
#include "dialog/workers.h"
#include "sim/sim_bus.h"
#include "tests/dialog/dialog_support.h"

namespace kbt::test {

inline std::string BlockHex(const std::uint8_t* image, std::size_t k, bool firstByteZero = false) {
  std::vector<std::uint8_t> block(image + k * 2048, image + (k + 1) * 2048);
  if (firstByteZero) block[0] = 0;
  return HexBytes(block.data(), block.size());
}

// Discovery, entry of a normal-mode keyboard included, until the Data
// interface is recorded; the bus re-enumerates without delay.
inline bool DiscoverUpdateDevice(DialogState& state, sim::SimBus& bus) {
  for (int pass = 0; pass < 3; ++pass)
    if (DeviceDiscovery(state, bus) > 0) return true;
  return false;
}

class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetStatusOutputs(outputs);
    state.sleep = sleep.Function();
    FillTestImage(image);
    ASSERT_TRUE(DiscoverUpdateDevice(state, bus));
    bus.ClearTrace();
    StartProgress();
  }
  void TearDown() override { RemoveStatusOutputs(); }

  std::vector<std::string> Lines() { return TraceLines(bus.Trace()); }
  std::array<std::uint8_t, 8> Info() {
    return bus.WithModel([](sim::KeyboardModel& m) { return m.InfoBlock(); });
  }
  std::string BlockHex(std::size_t k, bool firstByteZero = false) {
    return test::BlockHex(image, k, firstByteZero);
  }

  std::shared_ptr<RecordedOutputs> outputs = std::make_shared<RecordedOutputs>();
  RecordedSleep sleep;
  TestDialogState dialog;
  DialogState& state = dialog.state;
  std::uint8_t* image = state.imageBuffer.get();
  sim::SimBus bus{sim::SimMode::Update};
};

}  // namespace kbt::test
