// The workers on real threads against the simulated keyboard, with a small
// event handler that does what the dialog does on arrivals and removals
// (serialised as on a user-interface thread). Run under ThreadSanitizer in
// CI (tools/ci.d/10-tsan.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "device/update_worker.h"
#include "run_fixture.h"
#include "ui/dialog_controller.h"

namespace kbt::test {
namespace {

using namespace std::chrono_literals;

// The dialog's device event handler and Removal reset, in brief.
class Handler {
 public:
  explicit Handler(HidBackend& hid) : hid_(hid) {}
  void OnEvent(const DeviceEvent& e) {
    std::lock_guard ui(uiThread_);
    if (e.kind == DeviceEvent::Kind::Arrival) {
      if (g_DeviceReady || g_UpdateBusy) return;
      g_BootEntryHold = false;
      RequestDiscovery(hid_);
    } else if (e.kind == DeviceEvent::Kind::Removal) {
      const DevicePath data = ReadDevicePaths().data;
      if (data.empty() || data != e.path) return;
      RemovalReset();
      ++removals;
    }
  }
  std::atomic<int> removals{0};

 private:
  HidBackend& hid_;
  std::mutex uiThread_;
};

template <typename P>
bool WaitFor(P predicate, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class ConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProgramState(outputs);
    FillTestImage();
    bus.SetEventCallback([this](const DeviceEvent& e) { handler.OnEvent(e); });
  }
  void TearDown() override {
    // No new discovery after this; then none still running on the bus.
    bus.SetEventCallback({});
    WaitForWorkersIdle();
    RemoveStatusOutputs();
  }

 public:
  // Runs inside every wait of the device logic, on the waiting thread.
  void SetHook(std::function<void(unsigned)> h) {
    std::lock_guard lock(hookMutex_);
    hook_ = std::move(h);
  }

 protected:
  std::shared_ptr<RecordedOutputs> outputs = std::make_shared<RecordedOutputs>();
  std::mutex hookMutex_;
  std::function<void(unsigned)> hook_;
  // Real time, but short: the waits only need to give other threads room.
  RecordedSleep sleep{[this](unsigned ms) {
    std::function<void(unsigned)> h;
    {
      std::lock_guard lock(hookMutex_);
      h = hook_;
    }
    if (h) h(ms);
    std::this_thread::sleep_for(100us);
  }};
  sim::SimBus bus{sim::SimMode::Normal, {.reenumerateDelayMs = 5}};
  Handler handler{bus};
};

TEST_F(ConcurrencyTest, OverlappingArrivalsEndWithOneReadyDevice) {
  // The dialog's first discovery, and arrivals of other devices from several
  // threads while the keyboard switches into update mode.
  RequestDiscovery(bus);
  std::vector<std::thread> arrivals;
  arrivals.reserve(4);
  for (int t = 0; t < 4; ++t)
    arrivals.emplace_back([this] {
      for (int i = 0; i < 20; ++i) {
        handler.OnEvent({DeviceEvent::Kind::Arrival, true, L"/dev/other"});
        std::this_thread::sleep_for(200us);
      }
    });
  for (auto& t : arrivals) t.join();
  ASSERT_TRUE(WaitFor([] { return g_DeviceReady.load(); }));
  WaitForWorkersIdle();

  const auto present = bus.Paths();
  ASSERT_EQ(present.size(), 2u);
  EXPECT_EQ(ReadDevicePaths().data, present[0]);
  EXPECT_EQ(ReadDevicePaths().command, present[1]);
  EXPECT_EQ(bus.WithModel([](sim::KeyboardModel& m) { return m.Entries(); }), 1);
  EXPECT_EQ(g_ButtonFillColor, kColorYellow);
}

TEST_F(ConcurrencyTest, RemovalDuringARunFailsItAndEndsEverything) {
  RequestDiscovery(bus);
  ASSERT_TRUE(WaitFor([] { return g_DeviceReady.load(); }));
  WaitForWorkersIdle();

  // The run stops in the wait after block 0 until the cable has been pulled
  // on this thread.
  std::atomic<bool> inProgramPass{false}, pulled{false};
  SetHook([&](unsigned ms) {
    if (ms != 10 || inProgramPass.exchange(true)) return;
    while (!pulled) std::this_thread::yield();
  });
  struct Release {  // a failed assertion must not leave the run waiting
    std::atomic<bool>& pulled;
    ConcurrencyTest& test;
    ~Release() {
      pulled = true;
      WaitForWorkersIdle();
      test.SetHook({});
    }
  } release{pulled, *this};
  StartProgress();
  g_UpdateBusy = true;
  StartUpdateWorker(bus, std::unique_lock<std::mutex>(g_ImageMutex));
  ASSERT_TRUE(WaitFor([&] { return inProgramPass.load(); }));
  bus.Unplug();
  pulled = true;
  WaitForWorkersIdle();

  EXPECT_EQ(handler.removals, 1);
  EXPECT_FALSE(g_UpdateBusy);
  EXPECT_FALSE(g_DeviceReady);
  EXPECT_EQ(g_ButtonFillColor, kColorLightGrey);  // the outcome shows in the log only
  // Plugged in again, it comes back in update mode (byte 0 was written as
  // 00) and is found again.
  bus.PlugIn();
  ASSERT_TRUE(WaitFor([] { return g_DeviceReady.load(); }));
}

TEST_F(ConcurrencyTest, LateDiscoveryDuringARunLeavesTheRunAlone) {
  RequestDiscovery(bus);
  ASSERT_TRUE(WaitFor([] { return g_DeviceReady.load(); }));
  WaitForWorkersIdle();

  StartProgress();
  g_UpdateBusy = true;
  StartUpdateWorker(bus, std::unique_lock<std::mutex>(g_ImageMutex));
  // A discovery that was late (its arrival came before the run) walks the
  // bus while the run sends its reports, and re-enables Start.
  for (int i = 0; i < 3; ++i) {
    RequestDiscovery(bus);
    std::this_thread::sleep_for(1ms);
    // A Start clicked now must not get the image.
    if (g_ImageMutex.try_lock()) {
      const bool runOver = !g_UpdateBusy;
      g_ImageMutex.unlock();
      EXPECT_TRUE(runOver);
    }
  }
  WaitForWorkersIdle();
  EXPECT_FALSE(g_UpdateBusy);
  // The run finished: the keyboard holds the image and went on to its
  // application, whose arrival was switched into update mode again.
  bus.WithModel([](sim::KeyboardModel& m) {
    EXPECT_EQ(m.Finishes(), 1);
    EXPECT_TRUE(std::equal(m.Program().begin(), m.Program().end(), g_ImageBuffer));
  });
}

TEST_F(ConcurrencyTest, DiscoveryRequestsCollapseIntoOneQueuedPass) {
  std::mutex gate;
  std::unique_lock<std::mutex> closed(gate);
  std::atomic<int> passes{0};
  struct Counting : HidBackend {
    std::mutex& gate;
    std::atomic<int>& passes;
    Counting(std::mutex& g, std::atomic<int>& p) : gate(g), passes(p) {}
    HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override {
      ++passes;
      std::lock_guard wait(gate);
      out.clear();
      return HidResult::Ok();
    }
    HidResult Open(const DevicePath&, std::unique_ptr<HidDevice>&) override {
      return HidResult::Fail("none");
    }
  } hid(gate, passes);

  RequestDiscovery(hid);
  ASSERT_TRUE(WaitFor([&] { return passes == 1; }));
  std::vector<std::thread> callers;
  callers.reserve(4);
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&] {
      for (int i = 0; i < 10; ++i) RequestDiscovery(hid);
    });
  for (auto& t : callers) t.join();
  closed.unlock();
  WaitForWorkersIdle();
  EXPECT_EQ(passes, 2);
}

}  // namespace
}  // namespace kbt::test
