// Every report of the run, 1 to 27, failing once, failing from there on, and
// the keyboard leaving the bus instead of answering it: the run's result,
// and a keyboard that can be updated again afterwards.
//
// Failing once decides the run only where a report's result is tested and
// no attempt is left to repeat it: the Begin (1), the counter write (26) and
// the Finish (27). Reports whose results are ignored can still fail the run
// through what the keyboard then holds: without the second write window (10)
// or the second block 0 (11) image byte 0 stays 00 and every Verify attempt
// differs; without the information-block write window (24) the keyboard
// refuses both information writes, the counter write included.
#include <gtest/gtest.h>

#include <tuple>

#include "run_fixture.h"

namespace kbt::test {
namespace {

enum class Fault { FailOnce, FailFrom, Unplug };

const char* Name(Fault f) {
  switch (f) {
    case Fault::FailOnce:
      return "FailOnce";
    case Fault::FailFrom:
      return "FailFrom";
    case Fault::Unplug:
      return "Unplug";
  }
  return "";
}

int ExpectedResult(int report, Fault fault) {
  if (fault != Fault::FailOnce) return 2;
  switch (report) {
    case 1:
    case 10:
    case 11:
    case 24:
    case 26:
    case 27:
      return 2;
    default:
      return 0;
  }
}

class FaultMatrix : public RunFixture,
                    public ::testing::WithParamInterface<std::tuple<int, Fault>> {};

TEST_P(FaultMatrix, RunEndsAsTheFailureTableSaysAndTheKeyboardRecovers) {
  const auto [report, fault] = GetParam();
  sim::SimFaults faults;
  switch (fault) {
    case Fault::FailOnce:
      faults.failOnce = report;
      break;
    case Fault::FailFrom:
      faults.failFrom = report;
      break;
    case Fault::Unplug:
      faults.unplugAt = report;
      break;
  }
  bus.SetFaults(faults);
  EXPECT_EQ(UpdateRun(state, bus), ExpectedResult(report, fault));
  // The faulty report is the report-th on the wire and it failed.
  const auto trace = bus.Trace();
  ASSERT_GE(trace.size(), static_cast<std::size_t>(report));
  EXPECT_FALSE(trace[report - 1].ok);

  // Put right what the fault broke, then update again from where the
  // keyboard stands: on the bus in either mode, or plugged back in.
  bus.SetFaults({});
  if (!bus.OnBus()) bus.PlugIn();
  ASSERT_TRUE(DiscoverUpdateDevice(state, bus));
  bus.ClearTrace();
  EXPECT_EQ(UpdateRun(state, bus), 0);
  EXPECT_EQ(bus.Trace().size(), 27u);
  EXPECT_EQ(bus.Mode(), sim::SimMode::Normal);
}

INSTANTIATE_TEST_SUITE_P(EveryReport, FaultMatrix,
                         ::testing::Combine(::testing::Range(1, 28),
                                            ::testing::Values(Fault::FailOnce, Fault::FailFrom,
                                                              Fault::Unplug)),
                         [](const auto& info) {
                           return "Report" + std::to_string(std::get<0>(info.param)) + "_" +
                                  Name(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace kbt::test
