// The one keyboard a single-keyboard job works on: chosen by location, or the
// only one; several without a location are refused, never guessed. And the
// wait for update mode over several keyboards at once.
#include <gtest/gtest.h>

#include "device/keyboard_choice.h"
#include "device/update_mode.h"
#include "sim/sim_hub.h"
#include "support.h"

namespace kbt::test {
namespace {

using Outcome = UpdateModeWait::Outcome;
using Clock = std::chrono::steady_clock;

UpdateModeWait Wait(RecordedSleep& sleep, sim::SimHub& hub, const std::string& port, int ms = 0) {
  return WaitForUpdateMode(hub, nullptr, port, Clock::now() + std::chrono::milliseconds(ms),
                           nullptr, {}, sleep.Function());
}

TEST(KeyboardChoice, ByLocationOrTheOnlyOne) {
  RecordedSleep sleep;
  const struct {
    const char* name;
    int keyboards;
    std::string port;
    Outcome outcome;
    std::string location;
  } cases[] = {
      {"the only keyboard", 1, "", Outcome::Ready, "sim-1"},
      {"named", 3, "sim-2", Outcome::Ready, "sim-2"},
      {"several, none named", 2, "", Outcome::Several, ""},
      {"named but absent", 2, "sim-9", Outcome::TimedOut, ""},
      {"no keyboard", 0, "", Outcome::TimedOut, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimHub hub(c.keyboards, sim::SimMode::Normal);
    const UpdateModeWait w = Wait(sleep, hub, c.port);
    EXPECT_EQ(w.outcome, c.outcome);
    if (c.outcome == Outcome::Ready) {
      EXPECT_EQ(w.keyboard.location, c.location);
      EXPECT_EQ(w.keyboard.mode, KeyboardMode::Update);
      EXPECT_TRUE(w.entered);
      // Only the chosen keyboard was switched.
      for (int k = 1; k <= c.keyboards; ++k)
        EXPECT_EQ(hub.Keyboard(k).Mode() == sim::SimMode::Update,
                  sim::SimLocation(k) == c.location);
    }
    if (c.outcome == Outcome::Several) {
      EXPECT_EQ(w.locations, (std::vector<std::string>{"sim-1", "sim-2"}));
    }
  }
}

TEST(KeyboardChoice, AKeyboardAlreadyInUpdateModeIsNotSentThePair) {
  RecordedSleep sleep;
  sim::SimHub hub(1, sim::SimMode::Update);
  const UpdateModeWait w = Wait(sleep, hub, "");
  EXPECT_EQ(w.outcome, Outcome::Ready);
  EXPECT_FALSE(w.entered);
  EXPECT_TRUE(hub.Keyboard(1).Trace().empty());
}

// A keyboard that ignores the pair is not flooded with it, and the wait ends.
TEST(KeyboardChoice, RefusedEntryTimesOut) {
  RecordedSleep sleep;
  sim::SimHub hub(1, sim::SimMode::Normal);
  sim::SimFaults refuse;
  refuse.refuseEntry = true;
  hub.Keyboard(1).SetFaults(refuse);
  const UpdateModeWait w = Wait(sleep, hub, "", 50);
  EXPECT_EQ(w.outcome, Outcome::TimedOut);
  EXPECT_TRUE(w.entered);
  EXPECT_LE(hub.Keyboard(1).Trace().size(), 200u);  // one round of the pair
}

// Several keyboards switched at once: each result belongs to its own
// keyboard, whatever the others do.
TEST(AwaitUpdateMode, SeveralKeyboardsEachWithItsOwnResult) {
  RecordedSleep sleep;
  sim::SimHub hub(4, sim::SimMode::Normal);
  KeyboardList list;
  {
    HidBusWatch look(hub, nullptr, sleep.Function());
    ASSERT_TRUE(look.Look(list));
  }
  ASSERT_EQ(list.keyboards.size(), 4u);
  sim::SimFaults denied;
  denied.noAccess = true;  // the pair cannot be sent
  hub.Keyboard(2).SetFaults(denied);
  sim::SimFaults refuse;
  refuse.refuseEntry = true;  // the pair goes out, the keyboard stays
  hub.Keyboard(3).SetFaults(refuse);

  HidBusWatch watch(hub, nullptr, sleep.Function());
  UpdateModeOptions options;
  options.backWithin = std::chrono::milliseconds(200);
  options.settleMs = 0;
  options.sleep = sleep.Function();
  const std::vector<UpdateModeResult> results =
      AwaitUpdateMode(hub, watch, list.keyboards, options);

  using O = UpdateModeResult::Outcome;
  const struct {
    O outcome;
    bool entered;
  } expected[] = {{O::Ready, true}, {O::EntryFailed, false}, {O::NotBack, true}, {O::Ready, true}};
  ASSERT_EQ(results.size(), 4u);
  for (std::size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(list.keyboards[i].location);
    EXPECT_EQ(results[i].outcome, expected[i].outcome);
    EXPECT_EQ(results[i].entered, expected[i].entered);
    EXPECT_EQ(results[i].keyboard.location, list.keyboards[i].location);
  }
  EXPECT_NE(results[1].error.find("permission denied"), std::string::npos);
  EXPECT_EQ(results[3].keyboard.mode, KeyboardMode::Update);
  EXPECT_EQ(hub.Keyboard(4).Mode(), sim::SimMode::Update);
}

}  // namespace
}  // namespace kbt::test
