// Several keyboards at once: one UpdateSession each on its own thread over
// simulated keyboards. Run under ThreadSanitizer in CI (tools/ci.d/10-tsan.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>

#include "device/keyboards.h"
#include "device/session.h"
#include "device/session_runner.h"
#include "image/firmware_image.h"
#include "sim/sim_hub.h"
#include "support.h"

namespace kbt::test {
namespace {

struct Outcome {
  int result = -1;
  std::vector<std::string> notes;
  int steps = 0;
  std::optional<std::uint16_t> counter;
};

class CountingSink : public SessionSink {
 public:
  explicit CountingSink(Outcome& out) : out_(out) {}
  void Step(const SessionProgress&) override { ++out_.steps; }
  void Note(const std::string& line) override { out_.notes.push_back(line); }

 private:
  Outcome& out_;
};

std::vector<std::uint8_t> TestImage() {
  std::vector<std::uint8_t> image(kImageSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return image;
}

// Updates every keyboard of `hub` at once; results by location.
std::map<std::string, Outcome> UpdateAll(sim::SimHub& hub, const std::vector<std::uint8_t>& image,
                                         std::atomic<std::uint16_t>& counter,
                                         const Sleeper& sleep) {
  std::vector<InterfaceProbe> probes;
  EXPECT_TRUE(ProbeInterfaces(hub, probes));
  const KeyboardList list = FindKeyboards(probes);
  std::map<std::string, Outcome> outcomes;
  for (const Keyboard& k : list.keyboards) outcomes[k.location];
  std::vector<std::function<void()>> jobs;
  for (const Keyboard& k : list.keyboards) {
    Outcome* out = &outcomes[k.location];
    jobs.push_back([&hub, &image, &counter, &sleep, k, out] {
      CountingSink sink(*out);
      UpdateSession session(
          hub, {k.data, k.command, k.location}, image.data(), &sink,
          [&counter] { return counter.fetch_add(1); }, nullptr, sleep);
      out->result = session.Run();
      out->counter = session.CounterWritten();
    });
  }
  RunConcurrently(std::move(jobs));
  return outcomes;
}

class SessionsTest : public ::testing::Test {
 protected:
  RecordedSleep sleep;  // the waits are recorded, not slept
  std::vector<std::uint8_t> image = TestImage();
  std::atomic<std::uint16_t> counter{1};
};

TEST_F(SessionsTest, EightKeyboardsAtOnceEachHoldTheImage) {
  sim::SimHub hub(8, sim::SimMode::Update);
  const auto outcomes = UpdateAll(hub, image, counter, sleep.Function());
  ASSERT_EQ(outcomes.size(), 8u);
  std::set<std::uint16_t> counters;
  for (int k = 1; k <= 8; ++k) {
    const std::string location = sim::SimLocation(k);
    SCOPED_TRACE(location);
    const Outcome& o = outcomes.at(location);
    EXPECT_EQ(o.result, kUpdateRunOk);
    EXPECT_EQ(o.steps, 17);
    EXPECT_TRUE(o.notes.empty());
    ASSERT_TRUE(o.counter.has_value());
    counters.insert(*o.counter);
    const bool equal = hub.Keyboard(k).WithModel([&](sim::KeyboardModel& m) {
      return std::equal(image.begin(), image.end(), m.Program().begin());
    });
    EXPECT_TRUE(equal);
    // Each keyboard saw exactly its own 27 reports.
    EXPECT_EQ(hub.Keyboard(k).Trace().size(), 27u);
  }
  // One program-wide counter: eight runs, eight distinct values.
  EXPECT_EQ(counters, (std::set<std::uint16_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(SessionsTest, OneKeyboardLeavingMidRunFailsAloneTheOthersPass) {
  sim::SimHub hub(3, sim::SimMode::Update);
  sim::SimFaults leave;
  leave.unplugAt = 13;  // the read window of the first verify pass
  hub.Keyboard(2).SetFaults(leave);
  const auto outcomes = UpdateAll(hub, image, counter, sleep.Function());
  EXPECT_EQ(outcomes.at("sim-1").result, kUpdateRunOk);
  EXPECT_EQ(outcomes.at("sim-3").result, kUpdateRunOk);
  const Outcome& gone = outcomes.at("sim-2");
  EXPECT_EQ(gone.result, kUpdateRunFailed);
  ASSERT_FALSE(gone.notes.empty());
  EXPECT_NE(gone.notes.front().find("verify pass attempt 1"), std::string::npos)
      << gone.notes.front();
  EXPECT_FALSE(gone.counter.has_value());  // it never reached the information block
}

// A cancel flag set during a run stops it before its next report: nothing
// more goes out and no counter value is taken.
TEST_F(SessionsTest, CancelStopsAtTheNextReport) {
  sim::SimHub hub(1, sim::SimMode::Update);
  std::vector<InterfaceProbe> probes;
  ASSERT_TRUE(ProbeInterfaces(hub, probes));
  const Keyboard k = FindKeyboards(probes).keyboards.at(0);
  std::atomic<bool> cancel{false};
  Outcome out;
  struct StopAfterBlock3 : CountingSink {
    StopAfterBlock3(Outcome& o, std::atomic<bool>& c) : CountingSink(o), cancel(c) {}
    void Step(const SessionProgress& p) override {
      CountingSink::Step(p);
      if (p.stage == SessionStage::Program && p.block == 3) cancel = true;
    }
    std::atomic<bool>& cancel;
  } sink(out, cancel);
  UpdateSession session(
      hub, {k.data, k.command, k.location}, image.data(), &sink,
      [this] { return counter.fetch_add(1); }, &cancel, sleep.Function());
  EXPECT_EQ(session.Run(), kUpdateRunFailed);
  EXPECT_TRUE(session.Cancelled());
  EXPECT_FALSE(session.CounterWritten().has_value());
  EXPECT_EQ(counter.load(), 1);
  // Begin, write window, blocks 0..3: nothing after the cancel.
  EXPECT_EQ(hub.Keyboard(1).Trace().size(), 6u);
  ASSERT_FALSE(out.notes.empty());
  EXPECT_NE(out.notes.back().find("interrupted"), std::string::npos) << out.notes.back();
}

// A keyboard in normal operation, switched by its own pair, comes back at
// the same location in update mode.
TEST_F(SessionsTest, EntryPairSwitchesOneKeyboardAndItKeepsItsLocation) {
  sim::SimHub hub(2, sim::SimMode::Normal);
  std::vector<InterfaceProbe> probes;
  ASSERT_TRUE(ProbeInterfaces(hub, probes));
  const KeyboardList before = FindKeyboards(probes);
  ASSERT_EQ(before.keyboards.size(), 2u);
  ASSERT_TRUE(EnterUpdateMode(hub, *before.At("sim-2"), sleep.Function()));
  hub.Keyboard(2).WaitSettled();
  ASSERT_TRUE(ProbeInterfaces(hub, probes));
  const KeyboardList after = FindKeyboards(probes);
  EXPECT_EQ(after.At("sim-1")->mode, KeyboardMode::Normal);
  EXPECT_EQ(after.At("sim-2")->mode, KeyboardMode::Update);
  EXPECT_TRUE(after.At("sim-2")->Complete());
}

}  // namespace
}  // namespace kbt::test
