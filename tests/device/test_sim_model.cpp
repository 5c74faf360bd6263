// The simulated keyboard itself, where tests of the device logic lean on
// its behaviour: entry, re-enumeration with new paths, the power-on mode,
// and the refusals that make a wrong report visible.
#include <gtest/gtest.h>

#include "device/update_counter.h"
#include "dialog/discovery.h"
#include "sim/sim_bus.h"
#include "support.h"

namespace kbt::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(SimModel, EntryPairReEnumeratesWithNewPaths) {
  SimBus bus;
  std::vector<DeviceEvent> events;
  bus.SetEventCallback([&](const DeviceEvent& e) { events.push_back(e); });
  const auto before = bus.Paths();
  ASSERT_EQ(before.size(), 2u);
  std::unique_ptr<HidDevice> vendor;
  ASSERT_TRUE(bus.Open(before[1], vendor));
  EXPECT_TRUE(vendor->SetFeature(Bytes{5, 0xAB, 0, 0, 0, 0}));  // no 0x75 first: ignored
  EXPECT_EQ(bus.Mode(), SimMode::Normal);
  EXPECT_TRUE(vendor->SetFeature(Bytes{5, 0x75, 0, 0, 0, 0}));
  EXPECT_TRUE(vendor->SetFeature(Bytes{5, 0xAB, 0, 0, 0, 0}));
  EXPECT_FALSE(vendor->SetFeature(Bytes{5, 0x75, 0, 0, 0, 0}));  // the old handle is dead
  EXPECT_EQ(bus.Mode(), SimMode::Update);
  const auto after = bus.Paths();
  ASSERT_EQ(after.size(), 2u);
  for (const auto& p : after) EXPECT_TRUE(p != before[0] && p != before[1]);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].kind, DeviceEvent::Kind::Removal);
  EXPECT_EQ(events[0].path, before[0]);
  EXPECT_EQ(events[3].kind, DeviceEvent::Kind::Arrival);
  EXPECT_EQ(events[3].path, after[1]);
}

TEST(SimModel, RefusesWhatTheProtocolDoesNotAllow) {
  KeyboardModel m(SimMode::Update);
  std::size_t got = 0;
  Bytes data(2050, 0);
  data[0] = 6;
  data[1] = 0x77;
  EXPECT_FALSE(m.SetFeature(SimInterface::Command, Bytes{5, 0x57, 0, 0, 0, 0x38}));  // no Begin
  EXPECT_TRUE(m.SetFeature(SimInterface::Command, Bytes{5, 0x45, 0x45, 0x45, 0x45, 0x45}));
  // A command report padded to the Data length, as a careless HID layer sends it.
  Bytes padded(2050, 0);
  padded[0] = 5;
  padded[1] = 0x57;
  padded[5] = 0x38;
  EXPECT_FALSE(m.SetFeature(SimInterface::Command, padded));
  EXPECT_FALSE(m.SetFeature(SimInterface::Data, data));                              // no window
  EXPECT_FALSE(m.SetFeature(SimInterface::Command, Bytes{5, 0x57, 0, 0x38, 1, 0}));  // outside
  EXPECT_TRUE(m.SetFeature(SimInterface::Command, Bytes{5, 0x57, 0, 0x30, 0, 0x08}));
  EXPECT_TRUE(m.SetFeature(SimInterface::Data, data));
  EXPECT_FALSE(m.SetFeature(SimInterface::Data, data));  // window used up
  Bytes info{5, 0x72, 0, 0, 0, 0};
  EXPECT_FALSE(m.GetFeature(SimInterface::Command, info, got));  // no read window
  EXPECT_TRUE(m.SetFeature(SimInterface::Command, Bytes{5, 0x52, 0x80, 0xFF, 8, 0}));
  EXPECT_TRUE(m.GetFeature(SimInterface::Command, info, got));
  EXPECT_EQ(info, (Bytes{5, 0x72, 0x4B, 0x42, 0x10, 0x03}));
  EXPECT_EQ(got, 6u);
}

TEST(SimModel, FinishStartsTheApplicationOnlyWhenByteZeroIsSet) {
  for (std::uint8_t first : {std::uint8_t{0x00}, std::uint8_t{0x02}}) {
    KeyboardModel m(SimMode::Update);
    std::vector<BusChange> changes;
    m.SetBusListener([&](const BusChange& c) { changes.push_back(c); });
    m.Program()[0] = first;
    EXPECT_TRUE(m.SetFeature(SimInterface::Command, Bytes{5, 0x45, 0x45, 0x45, 0x45, 0x45}));
    EXPECT_TRUE(m.SetFeature(SimInterface::Command, Bytes{5, 0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_FALSE(m.OnBus());
    m.Arrive();
    EXPECT_EQ(m.Mode(), first ? SimMode::Normal : SimMode::Update);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_TRUE(changes[0].comesBack);
  }
}

TEST(SimModel, RefusedEntryKeepsTheKeyboardInNormalOperation) {
  test::RecordedSleep sleep;
  SimBus bus;
  bus.SetFaults({.refuseEntry = true});
  UpdateCounter counter;
  DialogState dialog(counter);  // the dialog's discovery sends the pair
  dialog.sleep = sleep.Function();
  EXPECT_EQ(DeviceDiscovery(dialog, bus), 0);
  EXPECT_EQ(bus.Trace().size(), 200u);
  EXPECT_EQ(sleep.Waits().size(), 200u);
  EXPECT_EQ(bus.Mode(), SimMode::Normal);
}

TEST(SimModel, DelayedReEnumerationArrivesOnTheBusThread) {
  SimBus bus(SimMode::Normal, {.reenumerateDelayMs = 30});
  std::unique_ptr<HidDevice> vendor;
  ASSERT_TRUE(bus.Open(bus.Paths()[1], vendor));
  EXPECT_TRUE(vendor->SetFeature(Bytes{5, 0x75, 0, 0, 0, 0}));
  EXPECT_TRUE(vendor->SetFeature(Bytes{5, 0xAB, 0, 0, 0, 0}));
  EXPECT_TRUE(bus.Paths().empty());
  bus.WaitSettled();
  EXPECT_EQ(bus.Mode(), SimMode::Update);
  EXPECT_EQ(bus.Paths().size(), 2u);
}

}  // namespace
}  // namespace kbt::sim
