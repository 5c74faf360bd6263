// Device discovery: the four rules in order, the hold read per interface,
// the Enter-update-mode pair and its waits, and what the Discovery worker
// shows.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dialog/discovery.h"
#include "dialog/workers.h"
#include "tests/device/fake_hid.h"
#include "tests/dialog/dialog_support.h"
#include "ui/dialog_controller.h"

namespace kbt::test {
namespace {

constexpr std::uint16_t kVendor = 0xFF00;

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetStatusOutputs(outputs); }
  void TearDown() override { RemoveStatusOutputs(); }
  std::shared_ptr<RecordedOutputs> outputs = std::make_shared<RecordedOutputs>();
  TestDialogState dialog;
  DialogState& state = dialog.state;
};

struct RuleCase {
  const char* name;
  HidInterfaceInfo info;
  bool hold;
  bool recordsData;
  bool recordsCommand;
  bool sendsEntry;
};

TEST_F(DiscoveryTest, EachInterfaceMeetsTheFirstRuleThatFits) {
  const std::wstring longPath(260, L'x');  // one more than the buffers hold
  const std::wstring longestPath(259, L'y');
  const RuleCase cases[] = {
      {"data", Info(L"d", 0x0603, 0x1020, kVendor, 2050), false, true, false, false},
      {"command", Info(L"c", 0x0603, 0x1020, kVendor, 6), false, false, true, false},
      {"update pair, other length", Info(L"u", 0x0603, 0x1020, kVendor, 64), false, false, false,
       false},
      {"normal keyboard", Info(L"n", 0x4B54, 0x0101, kVendor, 6), false, false, false, true},
      {"normal keyboard, held", Info(L"n", 0x4B54, 0x0101, kVendor, 6), true, false, false, false},
      {"vendor 0603, other product", Info(L"o", 0x0603, 0x1021, kVendor, 6), false, false, false,
       true},
      {"vendor 0603, other product, 2050", Info(L"o", 0x0603, 0x1021, kVendor, 2050), false, false,
       false, false},
      {"boot keyboard page", Info(L"k", 0x4B54, 0x0101, 0x0001, 6), false, false, false, false},
      {"info unreadable", Info(L"d", 0x0603, 0x1020, kVendor, 2050, false), false, false, false,
       false},
      {"normal, info unreadable", Info(L"n", 0x4B54, 0x0101, kVendor, 6, false), false, false,
       false, false},
      {"data, path too long", Info(longPath, 0x0603, 0x1020, kVendor, 2050), false, false, false,
       false},
      {"data, longest path", Info(longestPath, 0x0603, 0x1020, kVendor, 2050), false, true, false,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordedSleep sleep;
    state.sleep = sleep.Function();
    FakeHid hid({{c.info, true, 1}});
    state.bootEntryHold = c.hold;
    const int count = DeviceDiscovery(state, hid);
    const DevicePaths paths = state.ReadDevicePaths();
    EXPECT_EQ(count, c.recordsData ? 1 : 0);
    EXPECT_EQ(paths.data, c.recordsData ? c.info.path : L"");
    EXPECT_EQ(paths.command, c.recordsCommand ? c.info.path : L"");
    EXPECT_EQ(hid.Sent().empty(), !c.sendsEntry);
  }
}

TEST_F(DiscoveryTest, ClearsOldPathsAndLetsLaterMatchesWin) {
  state.WriteDevicePaths({L"old-data", L"old-command"});
  FakeHid none({});
  EXPECT_EQ(DeviceDiscovery(state, none), 0);
  EXPECT_EQ(state.ReadDevicePaths().data, L"");
  EXPECT_EQ(state.ReadDevicePaths().command, L"");

  FakeHid two({{Info(L"d1", 0x0603, 0x1020, kVendor, 2050)},
               {Info(L"c1", 0x0603, 0x1020, kVendor, 6)},
               {Info(L"x", 0x0603, 0x1020, kVendor, 2050), false},  // does not open
               {Info(L"d2", 0x0603, 0x1020, kVendor, 2050)},
               {Info(L"c2", 0x0603, 0x1020, kVendor, 6)}});
  EXPECT_EQ(DeviceDiscovery(state, two), 2);
  EXPECT_EQ(state.ReadDevicePaths().data, L"d2");
  EXPECT_EQ(state.ReadDevicePaths().command, L"c2");
}

TEST_F(DiscoveryTest, HoldIsReadAfreshForEveryInterface) {
  RecordedSleep sleep;
  state.sleep = sleep.Function();
  FakeHid hid({{Info(L"n1", 0x4B54, 1, kVendor, 6), true, 1},
               {Info(L"n2", 0x4B54, 2, kVendor, 6), true, 1}});
  // A removal handled while the walk is at the second interface.
  hid.onOpen = [this](const DevicePath& path) {
    if (path == L"n2") state.bootEntryHold = true;
  };
  DeviceDiscovery(state, hid);
  const auto sent = hid.Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].path, L"n1");
  EXPECT_EQ(sent[1].path, L"n1");
}

struct EntryCase {
  const char* name;
  int abFailsFrom;
  std::size_t reports;
  std::size_t waits;
};

TEST_F(DiscoveryTest, EntryPairRepeatsUntilTheSecondReportFails) {
  const EntryCase cases[] = {
      {"0xAB fails at once", 1, 2, 1},
      {"keyboard leaves after the third pair", 4, 8, 7},
      {"keyboard accepts everything", 0, 200, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordedSleep sleep;
    state.sleep = sleep.Function();
    FakeHid hid({{Info(L"n", 0x4B54, 0x0101, kVendor, 6), true, c.abFailsFrom}});
    EXPECT_EQ(DeviceDiscovery(state, hid), 0);
    const auto sent = hid.Sent();
    ASSERT_EQ(sent.size(), c.reports);
    for (std::size_t i = 0; i < sent.size(); ++i) {
      const std::vector<std::uint8_t> want{
          0x05, i % 2 ? std::uint8_t{0xAB} : std::uint8_t{0x75}, 0, 0, 0, 0};
      EXPECT_EQ(sent[i].bytes, want) << "report " << i;
    }
    EXPECT_EQ(sleep.Waits(), std::vector<unsigned>(c.waits, 20));
  }
}

TEST_F(DiscoveryTest, WorkerWithoutDataInterfaceChangesNothing) {
  RecordedSleep sleep;
  state.sleep = sleep.Function();
  state.bootEntryHold = true;
  FakeHid hid({{Info(L"c", 0x0603, 0x1020, kVendor, 6)}});
  DiscoveryWorker(state, hid);
  EXPECT_EQ(state.ReadDevicePaths().command, L"c");
  EXPECT_TRUE(outputs->Events().empty());
  EXPECT_TRUE(sleep.Waits().empty());
  EXPECT_FALSE(state.deviceReady);
  EXPECT_TRUE(state.bootEntryHold);
}

TEST_F(DiscoveryTest, WorkerWithDataInterfaceWaitsThenShowsReady) {
  std::vector<std::string> seenAtWait;
  RecordedSleep sleep([&](unsigned) { seenAtWait = outputs->Events(); });
  state.sleep = sleep.Function();
  state.bootEntryHold = true;
  FakeHid hid({{Info(L"d", 0x0603, 0x1020, kVendor, 2050)}});  // no Command interface
  DiscoveryWorker(state, hid);
  EXPECT_EQ(sleep.Waits(), std::vector<unsigned>{2000});
  EXPECT_TRUE(seenAtWait.empty());  // nothing shows before the ready delay
  EXPECT_EQ(outputs->Events(), (std::vector<std::string>{"colour 00ffff", "enable 1"}));
  EXPECT_TRUE(state.deviceReady);
  EXPECT_FALSE(state.bootEntryHold);
  EXPECT_EQ(state.ReadDevicePaths().command, L"");
}

TEST_F(DiscoveryTest, RemovalDuringTheReadyDelayLeavesTheResetAsItIs) {
  // Otherwise the button turns yellow for a keyboard that is gone, and with
  // deviceReady set no arrival would start a discovery again.
  RecordedSleep sleep([this](unsigned ms) {
    if (ms == 2000) RemovalReset(state);
  });
  state.sleep = sleep.Function();
  FakeHid hid({{Info(L"d", 0x0603, 0x1020, kVendor, 2050)}});
  DiscoveryWorker(state, hid);
  EXPECT_EQ(outputs->Events(), (std::vector<std::string>{"colour f3f3f3", "enable 0"}));
  EXPECT_FALSE(state.deviceReady);
  EXPECT_TRUE(state.bootEntryHold);
  EXPECT_EQ(state.ReadDevicePaths().data, L"");
}

TEST_F(DiscoveryTest, PathsChangeOnlyWhenTheWalkEnds) {
  state.WriteDevicePaths({L"d", L"c"});
  FakeHid hid({{Info(L"d", 0x0603, 0x1020, kVendor, 2050)},
               {Info(L"c", 0x0603, 0x1020, kVendor, 6)},
               {Info(L"x", 0x4B54, 0x0101, 0x0001, 8)}});
  // A Start or a removal during the walk still finds the device's paths.
  std::vector<DevicePaths> seen;
  hid.onOpen = [&](const DevicePath&) { seen.push_back(state.ReadDevicePaths()); };
  EXPECT_EQ(DeviceDiscovery(state, hid), 1);
  ASSERT_EQ(seen.size(), 3u);
  for (const auto& p : seen) EXPECT_TRUE(p.data == L"d" && p.command == L"c");

  // The keyboard is removed while the walk is at its last interface: what the
  // walk saw is stale, and the paths stay as the Removal reset left them.
  hid.onOpen = [this](const DevicePath& path) {
    if (path == L"x") RemovalReset(state);
  };
  RecordedSleep sleep;
  state.sleep = sleep.Function();
  DiscoveryWorker(state, hid);
  EXPECT_EQ(state.ReadDevicePaths().data, L"");
  EXPECT_EQ(state.ReadDevicePaths().command, L"");
  EXPECT_TRUE(sleep.Waits().empty());
  EXPECT_FALSE(state.deviceReady);
  EXPECT_EQ(g_ButtonFillColor, kColorLightGrey);
}

TEST_F(DiscoveryTest, LatePassLeavesAReadyDeviceAsItIs) {
  // A pass queued behind the one that showed the device ready ends while a run
  // goes on (or after it): the run's colour and disabled button stay.
  RecordedSleep sleep;
  state.sleep = sleep.Function();
  state.deviceReady = true;
  state.updateBusy = true;
  state.bootEntryHold = true;
  FakeHid hid({{Info(L"d", 0x0603, 0x1020, kVendor, 2050)}});
  DiscoveryWorker(state, hid);
  EXPECT_TRUE(outputs->Events().empty());
  EXPECT_TRUE(state.deviceReady);
  EXPECT_FALSE(state.bootEntryHold);
}

TEST_F(DiscoveryTest, AnArrivalDuringTheReadyDelayLeavesReadinessToItsPass) {
  // The keyboard's Data interface arrives first, its Command interface during
  // the two seconds before ready. Yellow and the enabled button come from the
  // pass queued by that arrival, with both paths recorded.
  struct EnableSeesPaths : RecordedOutputs {
    explicit EnableSeesPaths(DialogState& s) : state(s) {}
    DialogState& state;
    std::vector<std::wstring> commandAtEnable;
    void EnableStartButton(bool enabled) override {
      if (enabled) commandAtEnable.push_back(state.ReadDevicePaths().command);
      RecordedOutputs::EnableStartButton(enabled);
    }
  };
  auto seen = std::make_shared<EnableSeesPaths>(state);
  ResetStatusOutputs(seen);
  FakeHid dataOnly({{Info(L"d", 0x0603, 0x1020, kVendor, 2050)}});
  FakeHid both({{Info(L"d", 0x0603, 0x1020, kVendor, 2050)},
                {Info(L"c", 0x0603, 0x1020, kVendor, 6)}});
  struct Bus : HidBackend {
    std::atomic<HidBackend*> now;
    HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override {
      return now.load()->Enumerate(out);
    }
    HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) override {
      return now.load()->Open(path, out);
    }
  } bus;
  bus.now = &dataOnly;
  bool arrived = false;
  RecordedSleep sleep([&](unsigned) {
    if (std::exchange(arrived, true)) return;
    bus.now = &both;
    RequestDiscovery(dialog.shared, bus);
  });
  state.sleep = sleep.Function();
  RequestDiscovery(dialog.shared, bus);
  WaitForWorkersIdle(state);
  EXPECT_EQ(sleep.Waits(), (std::vector<unsigned>{2000, 2000}));
  EXPECT_EQ(seen->commandAtEnable, std::vector<std::wstring>{L"c"});
  EXPECT_TRUE(state.deviceReady);
}

}  // namespace
}  // namespace kbt::test
