// The workers on real threads against the simulated keyboard, with a small
// event handler that does what the dialog does on arrivals and removals
// (serialised as on a user-interface thread). Run under ThreadSanitizer in
// CI (tools/ci.d/10-tsan.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "dialog/update_worker.h"
#include "tests/dialog/run_fixture.h"
#include "ui/dialog_controller.h"

namespace kbt::test {
namespace {

using namespace std::chrono_literals;

// The dialog's device event handler and Removal reset, in brief.
class Handler {
 public:
  Handler(HidBackend& hid, std::shared_ptr<DialogState> state)
      : hid_(hid), state_(std::move(state)) {}
  void OnEvent(const DeviceEvent& e) {
    std::lock_guard ui(uiThread_);
    DialogState& state = *state_;
    if (e.kind == DeviceEvent::Kind::Arrival) {
      if (state.deviceReady || state.updateBusy) return;
      state.bootEntryHold = false;
      RequestDiscovery(state_, hid_);
    } else if (e.kind == DeviceEvent::Kind::Removal) {
      const DevicePath data = state.ReadDevicePaths().data;
      if (data.empty() || data != e.path) return;
      RemovalReset(state);
      ++removals;
    }
  }
  std::atomic<int> removals{0};

 private:
  HidBackend& hid_;
  std::shared_ptr<DialogState> state_;
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
    ResetStatusOutputs(outputs);
    state.sleep = sleep.Function();
    FillTestImage(state.imageBuffer.get());
    bus.SetEventCallback([this](const DeviceEvent& e) { handler.OnEvent(e); });
  }
  void TearDown() override {
    // No new discovery after this; then none still running on the bus.
    bus.SetEventCallback({});
    WaitForWorkersIdle(state);
    RemoveStatusOutputs();
  }

 public:
  // Runs inside every wait of the device logic, on the waiting thread.
  void SetHook(std::function<void(unsigned)> h) {
    std::lock_guard lock(hookMutex_);
    hook_ = std::move(h);
  }

  TestDialogState dialog;
  DialogState& state = dialog.state;

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
  Handler handler{bus, dialog.shared};
};

TEST_F(ConcurrencyTest, OverlappingArrivalsEndWithOneReadyDevice) {
  // The dialog's first discovery, and arrivals of other devices from several
  // threads while the keyboard switches into update mode.
  RequestDiscovery(dialog.shared, bus);
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
  ASSERT_TRUE(WaitFor([this] { return state.deviceReady.load(); }));
  WaitForWorkersIdle(state);

  const auto present = bus.Paths();
  ASSERT_EQ(present.size(), 2u);
  EXPECT_EQ(state.ReadDevicePaths().data, present[0]);
  EXPECT_EQ(state.ReadDevicePaths().command, present[1]);
  EXPECT_EQ(bus.WithModel([](sim::KeyboardModel& m) { return m.Entries(); }), 1);
  EXPECT_EQ(g_ButtonFillColor, kColorYellow);
}

TEST_F(ConcurrencyTest, RemovalDuringARunFailsItAndEndsEverything) {
  RequestDiscovery(dialog.shared, bus);
  ASSERT_TRUE(WaitFor([this] { return state.deviceReady.load(); }));
  WaitForWorkersIdle(state);

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
      WaitForWorkersIdle(test.state);
      test.SetHook({});
    }
  } release{pulled, *this};
  StartProgress();
  state.updateBusy = true;
  StartUpdateWorker(dialog.shared, bus, std::unique_lock<std::mutex>(state.imageMutex));
  ASSERT_TRUE(WaitFor([&] { return inProgramPass.load(); }));
  bus.Unplug();
  pulled = true;
  WaitForWorkersIdle(state);

  EXPECT_EQ(handler.removals, 1);
  EXPECT_FALSE(state.updateBusy);
  EXPECT_FALSE(state.deviceReady);
  EXPECT_EQ(g_ButtonFillColor, kColorLightGrey);  // the outcome shows in the log only
  // Plugged in again, it comes back in update mode (byte 0 was written as
  // 00) and is found again.
  bus.PlugIn();
  ASSERT_TRUE(WaitFor([this] { return state.deviceReady.load(); }));
}

TEST_F(ConcurrencyTest, LateDiscoveryDuringARunLeavesTheRunAlone) {
  RequestDiscovery(dialog.shared, bus);
  ASSERT_TRUE(WaitFor([this] { return state.deviceReady.load(); }));
  WaitForWorkersIdle(state);

  StartProgress();
  state.updateBusy = true;
  StartUpdateWorker(dialog.shared, bus, std::unique_lock<std::mutex>(state.imageMutex));
  // A discovery that was late (its arrival came before the run) walks the
  // bus while the run sends its reports, and re-enables Start.
  for (int i = 0; i < 3; ++i) {
    RequestDiscovery(dialog.shared, bus);
    std::this_thread::sleep_for(1ms);
    // A Start clicked now must not get the image.
    if (state.imageMutex.try_lock()) {
      const bool runOver = !state.updateBusy;
      state.imageMutex.unlock();
      EXPECT_TRUE(runOver);
    }
  }
  WaitForWorkersIdle(state);
  EXPECT_FALSE(state.updateBusy);
  // The run finished: the keyboard holds the image and went on to its
  // application, whose arrival was switched into update mode again.
  bus.WithModel([this](sim::KeyboardModel& m) {
    EXPECT_EQ(m.Finishes(), 1);
    EXPECT_TRUE(std::equal(m.Program().begin(), m.Program().end(), state.imageBuffer.get()));
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

  RequestDiscovery(dialog.shared, hid);
  ASSERT_TRUE(WaitFor([&] { return passes == 1; }));
  std::vector<std::thread> callers;
  callers.reserve(4);
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&] {
      for (int i = 0; i < 10; ++i) RequestDiscovery(dialog.shared, hid);
    });
  for (auto& t : callers) t.join();
  closed.unlock();
  WaitForWorkersIdle(state);
  EXPECT_EQ(passes, 2);
}

}  // namespace
}  // namespace kbt::test
