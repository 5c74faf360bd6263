// The dialog controller with the real workers over the simulated keyboard.
// The test thread plays the user-interface thread: device events queue up
// and are handled only when it pumps them, as window messages would be.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "device/device_events.h"
#include "device/update_counter.h"
#include "dialog/dialog_state.h"
#include "dialog/workers.h"
#include "sim/sim_bus.h"
#include "tests/dialog/dialog_support.h"
#include "tests/ui/ui_fakes.h"
#include "ui/dialog_controller.h"

namespace kbt {
namespace {

namespace fs = std::filesystem;
using test::EventLog;
using test::FakeDialog;
using test::FakeOutputs;

std::string ReadLog() {
  std::ifstream in("DLog.txt", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Holds the device's answer to one report of the update run until released.
class ReportLatch {
 public:
  void Arm(int report) {
    std::lock_guard lock(mutex_);
    armedAt_ = report;
    seen_ = 0;
  }
  void OnReport() {
    std::unique_lock lock(mutex_);
    if (armedAt_ == 0 || ++seen_ != armedAt_) return;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !held_; });
  }
  void WaitHeld() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return held_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    armedAt_ = 0;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int armedAt_ = 0, seen_ = 0;
  bool held_ = false;
};

class ControllerSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetStatusOutputs(outputs_);
    oldDir_ = fs::current_path();
    dir_ = fs::temp_directory_path() /
           ("kbt-ui-sim-" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(dir_);
    fs::current_path(dir_);
    bus_.SetEventCallback([this](const DeviceEvent& e) { events_.Push(e); });
    controller_.emplace(bus_, counter_, dialog_);
    State().sleep = [](unsigned) {};  // no waits: the test thread pumps the events
  }
  void TearDown() override {
    latch_.Release();
    bus_.SetEventCallback({});
    WaitForWorkersIdle(State());
    RemoveStatusOutputs();
    fs::current_path(oldDir_);
    fs::remove_all(dir_);
  }

  // Handles the device events queued now.
  void Pump() {
    DeviceEvent event;
    while (events_.WaitEvent(event, 0)) controller_->OnDeviceEvent(event);
  }

  // Handles queued device events until the workers and the bus are quiet.
  void Settle() {
    for (int round = 0; round < 100; ++round) {
      WaitForWorkersIdle(State());
      bus_.WaitSettled();
      DeviceEvent event;
      bool handled = false;
      while (events_.WaitEvent(event, 0)) {
        controller_->OnDeviceEvent(event);
        handled = true;
      }
      if (!handled) return;
    }
    FAIL() << "events never stopped";
  }

  void ExpectReady() {
    EXPECT_TRUE(State().deviceReady.load());
    EXPECT_FALSE(State().updateBusy.load());
    EXPECT_EQ(g_ButtonFillColor.load(), kColorYellow);
    EXPECT_TRUE(outputs_->enabled_.load());
    EXPECT_FALSE(State().ReadDevicePaths().data.empty());
  }

  // The dialog's state, which the controller owns.
  DialogState& State() { return controller_->State(); }

  EventLog log_;
  std::shared_ptr<FakeOutputs> outputs_ = std::make_shared<FakeOutputs>(log_);
  UpdateCounter counter_;
  FakeDialog dialog_{log_};
  ReportLatch latch_;
  sim::SimBus bus_{sim::SimMode::Normal, {.reenumerateDelayMs = 0, .latency = [this](std::size_t) {
                                            latch_.OnReport();
                                            return std::chrono::microseconds(0);
                                          }}};
  DeviceEventQueue events_;
  std::optional<DialogController> controller_;
  fs::path oldDir_, dir_;
};

TEST_F(ControllerSimTest, WholeCycleFromNormalOperationToPassAndBack) {
  controller_->Initialize();
  dialog_.field = fs::path(KB_SOURCE_DIR "/res/demo/firmware.hex").wstring();
  Settle();
  ExpectReady();
  EXPECT_EQ(bus_.Mode(), sim::SimMode::Update);

  controller_->OnStart();
  EXPECT_TRUE(dialog_.boxes.empty());
  WaitForWorkersIdle(State());
  // The keyboard left the bus on Finish, but the dialog has not handled
  // that yet: the result shows.
  EXPECT_EQ(ReadLog(), "PASS\r\n");
  EXPECT_EQ(g_ButtonFillColor.load(), kColorGreen);
  EXPECT_FALSE(State().updateBusy.load());
  EXPECT_FALSE(outputs_->enabled_.load());
  EXPECT_EQ(outputs_->position_.load(), 17);

  // Removal and re-arrival in normal operation: back to ready for the next run.
  Settle();
  ExpectReady();
  controller_->OnStart();
  WaitForWorkersIdle(State());
  EXPECT_EQ(ReadLog(), "PASS\r\n");
  EXPECT_EQ(g_ButtonFillColor.load(), kColorGreen);
}

TEST_F(ControllerSimTest, RemovalDuringARunResetsAtOnceAndShowsNoResult) {
  controller_->Initialize();
  dialog_.field = fs::path(KB_SOURCE_DIR "/res/demo/firmware.hex").wstring();
  Settle();
  ExpectReady();

  std::ofstream("DLog.txt", std::ios::binary) << "PASS\r\n";  // an earlier run's
  latch_.Arm(8);                                              // in the middle of the program pass
  controller_->OnStart();
  latch_.WaitHeld();
  // A window closed now would leave this: never the earlier PASS.
  EXPECT_EQ(ReadLog(), "FAIL\r\n");
  bus_.Unplug();
  Pump();  // the removal is handled while the run waits for the device
  EXPECT_EQ(g_ButtonFillColor.load(), kColorLightGrey);
  EXPECT_FALSE(outputs_->enabled_.load());
  EXPECT_FALSE(State().deviceReady.load());
  EXPECT_FALSE(State().updateBusy.load());
  EXPECT_TRUE(State().bootEntryHold.load());
  EXPECT_TRUE(State().ReadDevicePaths().data.empty());
  {
    // The run still owns the image; a Start now must leave it alone.
    std::unique_lock<std::mutex> image(State().imageMutex, std::try_to_lock);
    EXPECT_FALSE(image.owns_lock());
  }

  latch_.Release();
  WaitForWorkersIdle(State());
  EXPECT_EQ(ReadLog(), "FAIL\r\n");
  EXPECT_EQ(g_ButtonFillColor.load(), kColorLightGrey);
  EXPECT_FALSE(State().updateBusy.load());

  // Plugged in again: the keyboard comes back and is found.
  bus_.PlugIn();
  Settle();
  ExpectReady();
}

}  // namespace
}  // namespace kbt
