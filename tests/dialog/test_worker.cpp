// The Update worker: DLog.txt, the result colour, updateBusy, and the
// image lock that StartUpdateWorker keeps for the run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "dialog/update_worker.h"
#include "run_fixture.h"

namespace kbt::test {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class WorkerTest : public RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    oldDir = fs::current_path();
    dir = fs::temp_directory_path() /
          ("kbt-worker-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    fs::current_path(dir);
    state.updateBusy = true;
  }
  void TearDown() override {
    fs::current_path(oldDir);
    fs::remove_all(dir);
    RunFixture::TearDown();
  }
  void Rediscover() {
    ASSERT_TRUE(DiscoverUpdateDevice(state, bus));
    StartProgress();
    state.updateBusy = true;
  }

  fs::path oldDir, dir;
};

TEST_F(WorkerTest, LogHoldsOnlyTheLastResultAsSixBytes) {
  state.deviceReady = true;
  UpdateWorker(state, bus);
  EXPECT_EQ(ReadFile(dir / "DLog.txt"), "PASS\r\n");
  Rediscover();
  UpdateWorker(state, bus);
  EXPECT_EQ(ReadFile(dir / "DLog.txt"), "PASS\r\n");
  Rediscover();
  bus.SetFaults({.failFrom = 1});
  UpdateWorker(state, bus);
  EXPECT_EQ(ReadFile(dir / "DLog.txt"), "FAIL\r\n");
  EXPECT_FALSE(state.updateBusy);
  const auto events = outputs->Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "colour 00ff00"), 2);
  EXPECT_EQ(events.back(), "colour 0000ff");
}

TEST_F(WorkerTest, ColourOnlyWhileTheDeviceIsReady) {
  state.deviceReady = false;  // a removal during the run reset the dialog
  UpdateWorker(state, bus);
  EXPECT_EQ(ReadFile(dir / "DLog.txt"), "PASS\r\n");
  for (const auto& e : outputs->Events()) EXPECT_EQ(e.rfind("colour", 0), std::string::npos);
  EXPECT_EQ(g_ButtonFillColor, kColorLightGrey);
  EXPECT_FALSE(state.updateBusy);
}

TEST_F(WorkerTest, UnwritableLogIsLostSilently) {
  // A folder in the log's place refuses the file on every system, even to root.
  fs::create_directory(dir / "DLog.txt");
  state.deviceReady = true;
  EXPECT_FALSE(WriteResultLog(true));
  UpdateWorker(state, bus);
  EXPECT_TRUE(fs::is_directory(dir / "DLog.txt"));
  EXPECT_EQ(g_ButtonFillColor, kColorGreen);
  EXPECT_FALSE(state.updateBusy);
}

TEST_F(WorkerTest, RunKeepsTheImageUntilItEnds) {
  std::atomic<bool> inRun{false};
  std::atomic<bool> goOn{false};
  RecordedSleep blocking([&](unsigned ms) {
    if (ms != 2000) return;
    inRun = true;
    while (!goOn) std::this_thread::yield();  // until the test lets the run go on
  });
  state.sleep = blocking.Function();
  state.deviceReady = true;
  std::unique_lock<std::mutex> image(state.imageMutex);
  StartUpdateWorker(dialog.shared, bus, std::move(image));
  while (!inRun) std::this_thread::yield();
  // A second Start now finds the image taken.
  EXPECT_FALSE(state.imageMutex.try_lock());
  goOn = true;
  WaitForWorkersIdle(state);
  ASSERT_TRUE(state.imageMutex.try_lock());
  state.imageMutex.unlock();
  EXPECT_EQ(ReadFile(dir / "DLog.txt"), "PASS\r\n");
  EXPECT_EQ(g_ButtonFillColor, kColorGreen);
  EXPECT_FALSE(state.updateBusy);
}

}  // namespace
}  // namespace kbt::test
