// The station's rules on their own: scripted bus listings and run ends,
// with the states and the units started checked after every step.
#include <gtest/gtest.h>

#include "station/station_rules.h"

namespace kbt::test {
namespace {

// One step of a script: what the bus lists when a listing began at `at` ms,
// or a run's end, a removal reported at `at`, or Finish about to go out;
// then the state expected at `location`.
struct Step {
  enum Kind { List, Ended, Removed, Restart } kind = List;
  std::int64_t at = 0;
  // List: "sim-1:N", "sim-1:U:SER", "sim-1:u" (update mode, incomplete),
  // "sim-1:N@3600" (its device events say it arrived at 3600 ms), ...
  std::string bus;
  std::string location = "sim-1";
  bool pass = true;                 // Ended
  std::vector<std::string> starts;  // List: the units started, by location
  SlotState expect = SlotState::Waiting;
};

KeyboardList Listing(const std::string& bus, ArrivalTimes* arrivals = nullptr) {
  KeyboardList list;
  std::size_t at = 0;
  while (at < bus.size()) {
    std::size_t end = bus.find(' ', at);
    if (end == std::string::npos) end = bus.size();
    std::string item = bus.substr(at, end - at);
    at = end + 1;
    if (item.empty()) continue;
    if (const std::size_t time = item.find('@'); time != std::string::npos) {
      if (arrivals) (*arrivals)[item.substr(0, item.find(':'))] = std::stoll(item.substr(time + 1));
      item.resize(time);
    }
    Keyboard k;
    const std::size_t c1 = item.find(':');
    k.location = item.substr(0, c1);
    const std::size_t c2 = item.find(':', c1 + 1);
    const char mode = item[c1 + 1];
    if (c2 != std::string::npos) k.serial = item.substr(c2 + 1);
    if (mode == 'N') {
      k.vendor = {L"/dev/v"};
    } else if (mode == 'S') {
      list.skipped.push_back({L"/dev/x", k.location, "permission denied"});
      continue;
    } else {
      k.mode = KeyboardMode::Update;
      k.data = L"/dev/d";
      if (mode == 'U') k.command = L"/dev/c";
    }
    list.keyboards.push_back(k);
  }
  return list;
}

struct Script {
  const char* name;
  StationConfig config;
  std::vector<Step> steps;
};

class StationRulesTest : public ::testing::TestWithParam<Script> {};

TEST_P(StationRulesTest, FollowsTheScript) {
  StationRules rules(GetParam().config);
  int i = 0;
  for (const Step& s : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(++i) + " at " + std::to_string(s.at) + " ms");
    if (s.kind == Step::List) {
      ArrivalTimes arrivals;
      const KeyboardList list = Listing(s.bus, &arrivals);
      EXPECT_EQ(rules.Observe(list, s.at, arrivals), s.starts);
    } else if (s.kind == Step::Ended) {
      rules.RunEnded(s.location, s.pass, s.pass ? "" : "report refused", s.at);
    } else if (s.kind == Step::Removed) {
      rules.Removed(s.location, s.at);
    } else {
      rules.ExpectRestart(s.location, s.at);
    }
    const StationSlot* slot = rules.Slot(s.location);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(SlotStateName(slot->state), std::string(SlotStateName(s.expect)));
  }
}

using K = Step::Kind;
using S = SlotState;
const std::vector<std::string> kOne{"sim-1"};

// A bus that reports leavings and arrivals, as the station's runs have.
StationConfig WithEvents() {
  StationConfig c;
  c.busEvents = true;
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, StationRulesTest,
    ::testing::Values(
        // The whole cycle: a unit, its restart after Finish, unplugged, the next one.
        Script{"PassedUnitRestartsIsLeftAloneThenTheNextIsTaken",
               {},
               {{K::List, 0, "sim-1:N", "sim-1", true, kOne, S::Updating},
                {K::List, 100, "", "sim-1", true, {}, S::Updating},  // into update mode
                {K::List, 200, "sim-1:U", "sim-1", true, {}, S::Updating},
                {K::Ended, 3000, "", "sim-1", true, {}, S::Finished},
                {K::List, 3001, "sim-1:U", "sim-1", true, {}, S::Finished},  // not left yet
                {K::List, 3100, "", "sim-1", true, {}, S::Finished},         // restarting
                {K::List, 3400, "sim-1:N", "sim-1", true, {}, S::DoneUnplug},
                {K::List, 60000, "sim-1:N", "sim-1", true, {}, S::DoneUnplug},
                {K::List, 61000, "", "sim-1", true, {}, S::Waiting},
                {K::List, 62000, "sim-1:N", "sim-1", true, kOne, S::Updating}}},
        // The restart after Finish seen as a removal before the run's end: the
        // keyboard listed after the end is the unit back, done at once. A
        // removal before Finish (into update mode) says nothing.
        Script{"RestartSeenBeforeTheRunEndedIsDoneAtOnce",
               {},
               {{K::List, 0, "sim-1:N", "sim-1", true, kOne, S::Updating},
                {K::Removed, 10, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 20, "", "sim-1", true, {}, S::Finished},
                {K::List, 30, "sim-1:U", "sim-1", true, {}, S::Finished},
                {K::List, 40, "", "sim-1", true, {}, S::Finished},
                {K::List, 50, "sim-1:N", "sim-1", true, {}, S::DoneUnplug},
                {K::List, 60, "", "sim-1", true, {}, S::Waiting},
                {K::List, 70, "sim-1:N", "sim-1", true, kOne, S::Updating},
                {K::Restart, 80, "", "sim-1", true, {}, S::Updating},
                {K::Removed, 90, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 100, "", "sim-1", true, {}, S::Finished},
                {K::List, 110, "sim-1:N", "sim-1", true, {}, S::DoneUnplug}}},
        // Removed and back between two listings: the event says it left.
        Script{"SwapBetweenTwoListingsIsANewUnit",
               {},
               {{K::List, 0, "sim-1:N", "sim-1", true, kOne, S::Updating},
                {K::Ended, 3000, "", "sim-1", false, {}, S::Finished},
                {K::List, 3100, "sim-1:U", "sim-1", true, {}, S::DoneUnplug},  // FAIL: stays
                {K::Removed, 9000, "", "sim-1", true, {}, S::Waiting},
                {K::List, 9001, "sim-1:N", "sim-1", true, kOne, S::Updating}}},
        // A unit pulled out during its run: the place is free at once, and
        // the keyboard plugged in next is updated (a new unit, or the same
        // one for another try).
        Script{"FailedUnitGoneFreesThePlaceAtOnce",
               {},
               {{K::List, 0, "sim-1:U", "sim-1", true, kOne, S::Updating},
                {K::List, 500, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 600, "", "sim-1", false, {}, S::Finished},
                {K::List, 700, "", "sim-1", true, {}, S::Waiting},
                {K::List, 800, "sim-1:N", "sim-1", true, kOne, S::Updating}}},
        // The Finish report failed as the keyboard restarted: it comes back by
        // itself and is left alone like a passed one.
        Script{"FailedFinishThatRestartsIsAwaited",
               {},
               {{K::List, 0, "sim-1:U", "sim-1", true, kOne, S::Updating},
                {K::Restart, 500, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 600, "", "sim-1", false, {}, S::Finished},
                {K::List, 700, "", "sim-1", true, {}, S::Finished},
                {K::List, 900, "sim-1:N", "sim-1", true, {}, S::DoneUnplug}}},
        // The finished unit never leaves (no restart): done after the leave window.
        Script{"PassedUnitThatNeverLeavesIsDoneAfterTheLeaveWindow",
               {},
               {{K::List, 0, "sim-1:U", "sim-1", true, kOne, S::Updating},
                {K::Ended, 1000, "", "sim-1", true, {}, S::Finished},
                {K::List, 1000 + kLeaveWindowMs, "sim-1:U", "sim-1", true, {}, S::Finished},
                {K::List, 1001 + kLeaveWindowMs, "sim-1:U", "sim-1", true, {}, S::DoneUnplug}}},
        // Taken away before it came back: the location is free after the window.
        Script{
            "UnitGoneBeforeItCameBackFreesTheLocation",
            {},
            {{K::List, 0, "sim-1:U", "sim-1", true, kOne, S::Updating},
             {K::Ended, 1000, "", "sim-1", true, {}, S::Finished},
             {K::List, 1100, "", "sim-1", true, {}, S::Finished},
             {K::List, 1100 + kReturnWindowMs + 1, "", "sim-1", true, {}, S::Waiting},
             {K::List, 1100 + kReturnWindowMs + 2, "sim-1:N", "sim-1", true, kOne, S::Updating}}},
        // Pulled out while restarting and the next one plugged in before a
        // listing saw the place empty: later than a restart takes, so it is
        // the next unit.
        Script{
            "SwapLongerThanARestartIsTheNextUnit",
            {},
            {{K::List, 0, "sim-1:N", "sim-1", true, kOne, S::Updating},
             {K::Restart, 900, "", "sim-1", true, {}, S::Updating},
             {K::Removed, 1000, "", "sim-1", true, {}, S::Updating},
             {K::Ended, 1010, "", "sim-1", true, {}, S::Finished},
             {K::List, 1000 + kReturnWindowMs + 1, "sim-1:N", "sim-1", true, kOne, S::Updating}}},
        // Serials: the same unit back is left alone, another serial is a new unit
        // even without an empty moment; serials of the other mode are not compared.
        Script{"ADifferentSerialInTheSameModeIsANewUnit",
               {},
               {{K::List, 0, "sim-1:N:A1", "sim-1", true, kOne, S::Updating},
                {K::List, 100, "sim-1:U:BOOT", "sim-1", true, {}, S::Updating},
                {K::Ended, 1000, "", "sim-1", true, {}, S::Finished},
                {K::List, 1100, "", "sim-1", true, {}, S::Finished},
                {K::List, 1200, "sim-1:N:A1", "sim-1", true, {}, S::DoneUnplug},
                {K::List, 1300, "sim-1:U:BOOT", "sim-1", true, {}, S::DoneUnplug},
                {K::List, 1400, "sim-1:N:B2", "sim-1", true, kOne, S::Updating}}},
        Script{"ASerialSeenFirstInTheOtherModeIsNotCompared",
               {},
               {{K::List, 0, "sim-1:U", "sim-1", true, kOne, S::Updating},
                {K::Ended, 1000, "", "sim-1", true, {}, S::Finished},
                {K::List, 1100, "", "sim-1", true, {}, S::Finished},
                {K::List, 1200, "sim-1:N:NEWFW", "sim-1", true, {}, S::DoneUnplug}}},
        // A busy machine: the listing after the restart began 2.2 s after the
        // leaving, but the events say the unit was back 0.6 s after it. The
        // time that counts is the events'.
        Script{"ASlowListingAfterTheEventsDoesNotStretchTheReturn",
               WithEvents(),
               {{K::List, 0, "sim-1:N", "sim-1", true, kOne, S::Updating},
                {K::Restart, 2900, "", "sim-1", true, {}, S::Updating},
                {K::Removed, 3000, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 3050, "", "sim-1", true, {}, S::Finished},
                {K::List, 5200, "sim-1:N@3600", "sim-1", true, {}, S::DoneUnplug}}},
        // The same, but the events say it was away longer than a restart takes:
        // the operator swapped it, the next unit.
        Script{"BackLaterThanARestartByTheEventsIsTheNextUnit",
               WithEvents(),
               {{K::List, 0, "sim-1:N", "sim-1", true, kOne, S::Updating},
                {K::Restart, 2900, "", "sim-1", true, {}, S::Updating},
                {K::Removed, 3000, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 3050, "", "sim-1", true, {}, S::Finished},
                {K::List, 5200, "sim-1:N@4501", "sim-1", true, kOne, S::Updating}}},
        // A listing that began before the leaving was reported still shows the
        // enumeration that finished: not the unit back, and not a new one.
        Script{"AListingFromBeforeTheLeavingIsNotTheReturn",
               WithEvents(),
               {{K::List, 0, "sim-1:N", "sim-1", true, kOne, S::Updating},
                {K::Restart, 2900, "", "sim-1", true, {}, S::Updating},
                {K::Removed, 3000, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 3050, "", "sim-1", true, {}, S::Finished},
                {K::List, 2990, "sim-1:U@500", "sim-1", true, {}, S::Finished},
                {K::List, 4700, "sim-1:N@3400", "sim-1", true, {}, S::DoneUnplug}}},
        // The leaving went unreported, but the keyboard listed arrived after
        // Finish went out: it restarted and is back.
        Script{"AnArrivalAfterFinishIsTheReturnEvenWithoutItsLeaving",
               WithEvents(),
               {{K::List, 0, "sim-1:N", "sim-1", true, kOne, S::Updating},
                {K::Restart, 2900, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 3050, "", "sim-1", true, {}, S::Finished},
                {K::List, 3100, "sim-1:N@3000", "sim-1", true, {}, S::DoneUnplug}}},
        // With a serial: the same serial back after a 3 s restart is the unit;
        // the return window does not apply.
        Script{"ARestartOfThreeSecondsWithTheSameSerialIsTheUnit",
               WithEvents(),
               {{K::List, 0, "sim-1:N:A1", "sim-1", true, kOne, S::Updating},
                {K::Restart, 2900, "", "sim-1", true, {}, S::Updating},
                {K::Removed, 3000, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 3050, "", "sim-1", true, {}, S::Finished},
                {K::List, 3100, "", "sim-1", true, {}, S::Finished},
                {K::List, 4600, "", "sim-1", true, {}, S::Finished},
                {K::List, 6100, "sim-1:N:A1@6000", "sim-1", true, {}, S::DoneUnplug}}},
        // ... and another serial 0.2 s after the leaving is a new unit at once.
        Script{"ANewSerialSoonAfterTheLeavingIsANewUnit",
               WithEvents(),
               {{K::List, 0, "sim-1:N:A1", "sim-1", true, kOne, S::Updating},
                {K::Restart, 2900, "", "sim-1", true, {}, S::Updating},
                {K::Removed, 3000, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 3050, "", "sim-1", true, {}, S::Finished},
                {K::List, 3300, "sim-1:N:B2@3200", "sim-1", true, kOne, S::Updating}}},
        // ... a unit with a serial that has not left yet is waited for (no
        // leave window), and one that left and stayed away beyond the bound
        // was taken away.
        Script{"WithASerialTheLeavingIsAwaitedAndTheBoundFreesThePlace",
               WithEvents(),
               {{K::List, 0, "sim-1:N:A1", "sim-1", true, kOne, S::Updating},
                {K::Restart, 2900, "", "sim-1", true, {}, S::Updating},
                {K::Ended, 3050, "", "sim-1", true, {}, S::Finished},
                {K::List, 3060 + kLeaveWindowMs, "sim-1:U:A1@500", "sim-1", true, {}, S::Finished},
                {K::Removed, 6000, "", "sim-1", true, {}, S::Finished},
                {K::List, 6000 + kReturnWindowMs + 1, "", "sim-1", true, {}, S::Finished},
                {K::List, 6000 + kRestartBoundMs, "", "sim-1", true, {}, S::Finished},
                {K::List, 6001 + kRestartBoundMs, "", "sim-1", true, {}, S::Waiting},
                {K::List, 6100 + kRestartBoundMs, "sim-1:N:A1", "sim-1", true, kOne, S::Updating}}},
        // Only complete keyboards start; interfaces that cannot be opened still
        // occupy the place.
        Script{"IncompleteOrInaccessibleKeyboardsWait",
               {},
               {{K::List, 0, "sim-1:u", "sim-1", true, {}, S::Waiting},
                {K::List, 50, "sim-1:S", "sim-1", true, {}, S::Waiting},
                {K::List, 100, "sim-1:U", "sim-1", true, kOne, S::Updating},
                {K::Ended, 200, "", "sim-1", false, {}, S::Finished},
                {K::List, 300, "sim-1:S", "sim-1", true, {}, S::DoneUnplug},
                {K::List, 400, "", "sim-1", true, {}, S::Waiting}}},
        // --port: other places are neither shown nor taken.
        Script{"PortsLimitThePlaces",
               {{"sim-2"}, 0},
               {{K::List, 0, "sim-1:N sim-2:N", "sim-2", true, {"sim-2"}, S::Updating}}},
        // --count: no more units started than the count, the last ones finish.
        Script{
            "CountLimitsTheUnitsStarted",
            {{}, 2},
            {{K::List, 0, "sim-1:N sim-2:N sim-3:N", "sim-3", true, {"sim-1", "sim-2"}, S::Waiting},
             {K::Ended, 10, "", "sim-1", true, {}, S::Finished},
             {K::List, 20, "sim-1:N sim-2:N sim-3:N", "sim-3", true, {}, S::Waiting}}}),
    [](const auto& info) { return std::string(info.param.name); });

// An interface that cannot be read at a place of its own gets no tile.
TEST(StationRules, UnreadableInterfacesAloneAreNoPlace) {
  StationRules rules({});
  EXPECT_TRUE(rules.Observe(Listing("unknown:S sim-1:N"), 0) == std::vector<std::string>{"sim-1"});
  ASSERT_EQ(rules.Slots().size(), 1u);
  EXPECT_EQ(rules.Slot("unknown"), nullptr);
}

TEST(StationRules, CountsStopAndFinish) {
  StationRules rules({{}, 3});
  EXPECT_EQ(rules.Observe(Listing("a:N b:N"), 0), (std::vector<std::string>{"a", "b"}));
  rules.RunEnded("a", true, "", 10);
  rules.RunEnded("b", false, "report refused", 10);
  EXPECT_EQ(rules.Passed(), 1);
  EXPECT_EQ(rules.Failed(), 1);
  EXPECT_EQ(rules.Slot("b")->reason, "report refused");
  // A run that was not started does not end anything.
  rules.RunEnded("c", true, "", 10);
  EXPECT_EQ(rules.Passed(), 1);
  EXPECT_FALSE(rules.Finished());
  rules.StopTaking();
  EXPECT_TRUE(rules.Finished());
  EXPECT_TRUE(rules.Observe(Listing("c:N"), 20).empty());
}

TEST(StationRules, UnitsPerHour) {
  EXPECT_DOUBLE_EQ(UnitsPerHour(0, 3600000), 0.0);
  EXPECT_DOUBLE_EQ(UnitsPerHour(10, 500), 0.0);
  EXPECT_DOUBLE_EQ(UnitsPerHour(30, 1800000), 60.0);
}

}  // namespace
}  // namespace kbt::test
