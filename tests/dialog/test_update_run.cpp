// The Update run against the simulated keyboard: the 27 reports byte for
// byte, the waits, the progress positions, and the edge cases of the
// sequence.
#include <gtest/gtest.h>

#include "run_fixture.h"

namespace kbt::test {
namespace {

std::vector<std::string> ExpectedSuccessTrace(const std::uint8_t* image, const char* infoReply1,
                                              const char* infoWrite1, const char* counterWrite) {
  std::vector<std::string> lines = {
      "command set ok 05 45 45 45 45 45",  // begin
      "command set ok 05 57 00 00 00 38",  // write window, image
  };
  for (std::size_t k = 0; k < 7; ++k)
    lines.push_back("data set ok 06 77 " + BlockHex(image, k, k == 0));
  lines.push_back("command set ok 05 57 00 00 00 38");  // write window again
  lines.push_back("data set ok 06 77 " + BlockHex(image, 0));  // block 0 with its true byte 0
  lines.push_back("command set ok 05 52 00 00 00 38");  // read window, image
  for (std::size_t k = 0; k < 7; ++k) lines.push_back("data get ok 06 72 " + BlockHex(image, k));
  lines.push_back("command set ok 05 52 80 ff 08 00");  // read window, information block
  lines.push_back(std::string("command get ok 05 72 ") + infoReply1);
  lines.push_back("command get ok 05 72 01 00 00 07");  // bytes 4..7, ignored
  lines.push_back("command set ok 05 65 ff 00 00 00");  // prepare
  lines.push_back("command set ok 05 57 80 ff 08 00");  // write window, information block
  lines.push_back(std::string("command set ok 05 77 ") + infoWrite1);
  lines.push_back(std::string("command set ok 05 77 ") + counterWrite);
  lines.push_back("command set ok 05 55 55 55 55 55");  // finish
  for (std::size_t i = 0; i < lines.size(); ++i) lines[i] = std::to_string(i + 1) + " " + lines[i];
  return lines;
}

std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i <= to; ++i) v.push_back(i);
  return v;
}

std::vector<int> Concat(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

using UpdateRunTest = RunFixture;

// Every open and close of an interface through it, named after the path
// that discovery recorded.
class HandleLog : public HidBackend {
 public:
  HandleLog(HidBackend& inner, const DialogState& state) : inner_(inner), state_(state) {}
  HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override { return inner_.Enumerate(out); }
  HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) override {
    std::unique_ptr<HidDevice> device;
    HidResult result = inner_.Open(path, device);
    if (!result) return result;
    const std::string name = path == state_.ReadDevicePaths().data ? "data" : "command";
    events.push_back("open " + name);
    out = std::make_unique<Logged>(std::move(device), name, events);
    return result;
  }
  std::vector<std::string> events;

 private:
  struct Logged : HidDevice {
    Logged(std::unique_ptr<HidDevice> d, std::string n, std::vector<std::string>& e)
        : inner(std::move(d)), name(std::move(n)), events(e) {}
    ~Logged() override { events.push_back("close " + name); }
    HidResult SetFeature(std::span<const std::uint8_t> r) override { return inner->SetFeature(r); }
    HidResult GetFeature(std::span<std::uint8_t> r, std::size_t& n) override {
      return inner->GetFeature(r, n);
    }
    std::unique_ptr<HidDevice> inner;
    std::string name;
    std::vector<std::string>& events;
  };
  HidBackend& inner_;
  const DialogState& state_;
};

TEST_F(UpdateRunTest, OpensAndClosesDataThenCommandAtEveryExit) {
  const std::vector<std::string> order{"open data", "open command", "close data", "close command"};
  struct Case {
    const char* name;
    sim::SimFaults faults;
    int result;
  } cases[] = {{"success", {}, 0}, {"begin fails", {.failOnce = 1}, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimBus device{sim::SimMode::Update};
    ASSERT_TRUE(DiscoverUpdateDevice(state, device));
    device.SetFaults(c.faults);
    HandleLog log(device, state);
    EXPECT_EQ(UpdateRun(state, log), c.result);
    EXPECT_EQ(log.events, order);
  }
}

TEST_F(UpdateRunTest, SuccessfulRunSendsTheTwentySevenReports) {
  EXPECT_EQ(UpdateRun(state, bus), 0);
  EXPECT_EQ(Lines(), ExpectedSuccessTrace(image, "4b 42 10 03", "4b 42 10 03", "01 00 00 01"));

  std::vector<unsigned> waits{2000};
  waits.insert(waits.end(), 14, 10);
  waits.insert(waits.end(), {100, 200, 100});
  EXPECT_EQ(sleep.Waits(), waits);
  EXPECT_EQ(outputs->Positions(), Concat({0, 0}, Range(1, 17)));

  bus.WithModel([this](sim::KeyboardModel& m) {
    EXPECT_TRUE(std::equal(m.Program().begin(), m.Program().end(), image));
  });
  EXPECT_EQ(Info(), (std::array<std::uint8_t, 8>{0x4B, 0x42, 0x10, 0x03, 0x01, 0x00, 0x00, 0x01}));
  EXPECT_EQ(state.counter.Next(), 2);
  // Byte 0 is not 00: the keyboard went back to its application.
  EXPECT_EQ(bus.Mode(), sim::SimMode::Normal);
}

TEST_F(UpdateRunTest, FirstImageByteTravelsLastAndIsVerified) {
  for (std::uint8_t first : {std::uint8_t{0xAB}, std::uint8_t{0x00}}) {
    SCOPED_TRACE(static_cast<int>(first));
    sim::SimBus device{sim::SimMode::Update};
    ASSERT_TRUE(DiscoverUpdateDevice(state, device));
    FillTestImage(image, first);
    EXPECT_EQ(UpdateRun(state, device), 0);
    const auto lines = TraceLines(device.Trace());
    ASSERT_EQ(lines.size(), 27u);
    EXPECT_EQ(lines[2].substr(0, 22), "3 data set ok 06 77 00");
    EXPECT_EQ(lines[10].substr(0, 23), "11 data set ok 06 77 " + HexBytes(&first, 1));
    // With byte 0 at 00 no application starts: the keyboard stays in update mode.
    EXPECT_EQ(device.Mode(), first ? sim::SimMode::Normal : sim::SimMode::Update);
  }
}

TEST_F(UpdateRunTest, MissingPathsEndTheRunBeforeAnyReport) {
  struct Case {
    const char* name;
    bool keepData;
    bool keepCommand;
  } cases[] = {{"no Data path", false, true},
               {"no Command path", true, false},
               {"stale Data path", true, true}};
  const DevicePaths found = state.ReadDevicePaths();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DevicePaths paths{c.keepData ? found.data : L"", c.keepCommand ? found.command : L""};
    if (std::string(c.name) == "stale Data path") paths.data = L"/dev/sim-hidraw999";
    state.WriteDevicePaths(paths);
    StartProgress();
    RunNotes notes;
    EXPECT_EQ(UpdateRun(state, bus, &notes), 2);
    EXPECT_TRUE(bus.Trace().empty());
    EXPECT_EQ(g_ProgressStep, 1);  // no step after the Start command's
    EXPECT_FALSE(notes.empty());
  }
  EXPECT_TRUE(sleep.Waits().empty());
}

TEST_F(UpdateRunTest, NoImageBufferFailsAfterTheBeginCommand) {
  auto buffer = std::move(state.imageBuffer);  // as when its allocation failed
  const int result = UpdateRun(state, bus);
  state.imageBuffer = std::move(buffer);
  EXPECT_EQ(result, 2);
  EXPECT_EQ(Lines(), std::vector<std::string>{"1 command set ok 05 45 45 45 45 45"});
  EXPECT_EQ(sleep.Waits(), std::vector<unsigned>{2000});
  EXPECT_EQ(outputs->Positions(), (std::vector<int>{0, 0, 1}));
}

TEST_F(UpdateRunTest, BlockRejectedEveryTimeSpendsFiveProgramAttempts) {
  bus.SetFaults({.rejectBlock = 3});
  EXPECT_EQ(UpdateRun(state, bus), 2);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 26u);  // begin, then 5 x (window, blocks 0..3)
  for (std::size_t a = 0; a < 5; ++a) {
    EXPECT_NE(lines[1 + a * 5].find("command set ok 05 57 00 00 00 38"), std::string::npos);
    EXPECT_NE(lines[1 + a * 5 + 4].find("data set fail 06 77"), std::string::npos);
  }
  // Begin, then 3 steps per attempt; no Verify pass.
  EXPECT_EQ(outputs->Positions(), Concat({0, 0}, Range(1, 16)));
}

TEST_F(UpdateRunTest, BlockDifferingEveryTimeSpendsTenVerifyAttempts) {
  bus.SetFaults({.corruptBlock = 6});
  RunNotes notes;
  EXPECT_EQ(UpdateRun(state, bus, &notes), 2);
  const auto trace = bus.Trace();
  ASSERT_EQ(trace.size(), 11u + 10u * 8u);
  for (std::size_t i = 11; i < trace.size(); ++i)  // nothing is written again
    EXPECT_TRUE(trace[i].get || trace[i].bytes[1] == 0x52) << i;
  EXPECT_EQ(outputs->Positions(), Concat({0, 0}, Range(1, 78)));
  ASSERT_EQ(notes.size(), 10u);
  char want[96];
  std::snprintf(
      want, sizeof want,
      "verify pass attempt 10, block 6: read-back differs at 0x37ff (%02x, expected %02x)",
      image[0x37FF] ^ 0xFF, image[0x37FF]);
  EXPECT_EQ(notes.back(), want);
}

TEST_F(UpdateRunTest, VerifyRetryAfterADifferingBlockSendsFurtherPositions) {
  bus.SetFaults({.corruptBlock = 6});
  int blockWaits = 0;
  // Block 6 differs in the first Verify attempt only: the fault goes once its
  // read-back has arrived (the wait after the seventh read).
  RecordedSleep healing([&](unsigned ms) {
    if (ms == 10 && ++blockWaits == 14)
      bus.WithModel([](sim::KeyboardModel& m) { m.SetFaults({}); });
  });
  state.sleep = healing.Function();
  EXPECT_EQ(UpdateRun(state, bus), 0);
  // 9..15 in the attempt that differed, 16..22 in the second, then 23 and 24.
  EXPECT_EQ(outputs->Positions(), Concat({0, 0}, Range(1, 24)));
  EXPECT_EQ(bus.Trace().size(), 27u + 8u);
}

TEST_F(UpdateRunTest, VerifyRetryAfterAFailedReadSendsFurtherPositions) {
  bus.SetFaults({.failOnce = 19});  // the read of block 6, first attempt
  EXPECT_EQ(UpdateRun(state, bus), 0);
  // 9..14 in the failed attempt, 15..21 in the second, then 22 and 23.
  EXPECT_EQ(outputs->Positions(), Concat({0, 0}, Range(1, 23)));
}

TEST_F(UpdateRunTest, FailedFirstInformationReadRewritesZeros) {
  bus.SetFaults({.failOnce = 21});
  EXPECT_EQ(UpdateRun(state, bus), 0);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 27u);
  EXPECT_EQ(lines[20], "21 command get fail 05 72 00 00 00 00");
  EXPECT_EQ(lines[24], "25 command set ok 05 77 00 00 00 00");
  EXPECT_EQ(Info(), (std::array<std::uint8_t, 8>{0, 0, 0, 0, 0x01, 0x00, 0x00, 0x01}));
}

TEST_F(UpdateRunTest, CounterCountsRunsAndWraps) {
  struct Case {
    std::uint16_t before;
    std::uint8_t high, low;
    std::uint16_t after;
  } cases[] = {{1, 0x00, 0x01, 2}, {2, 0x00, 0x02, 3}, {0xFFFF, 0xFF, 0xFF, 0}, {0, 0, 0, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    sim::SimBus device{sim::SimMode::Update};
    // A program whose counter stands at `before`.
    UpdateCounter counter(c.before);
    DialogState run(counter, StatusOutputsDialogSink());
    run.sleep = sleep.Function();
    FillTestImage(run.imageBuffer.get());
    ASSERT_TRUE(DiscoverUpdateDevice(run, device));
    EXPECT_EQ(UpdateRun(run, device), 0);
    const auto info = device.WithModel([](sim::KeyboardModel& m) { return m.InfoBlock(); });
    EXPECT_EQ(info[4], 0x01);
    EXPECT_EQ(info[5], 0x00);
    EXPECT_EQ(info[6], c.high);
    EXPECT_EQ(info[7], c.low);
    EXPECT_EQ(counter.Next(), c.after);
  }
}

TEST_F(UpdateRunTest, FailedCounterWriteEndsWithoutFinishButCounts) {
  bus.SetFaults({.failOnce = 26});
  EXPECT_EQ(UpdateRun(state, bus), 2);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 26u);
  EXPECT_EQ(lines.back(), "26 command set fail 05 77 01 00 00 01");
  EXPECT_EQ(state.counter.Next(), 2);
  EXPECT_EQ(outputs->Positions(), Concat({0, 0}, Range(1, 16)));
}

TEST_F(UpdateRunTest, RemovalDuringTheRunFailsItWithoutHanging) {
  RecordedSleep pullingAtBegin([&](unsigned ms) {
    if (ms == 2000) bus.Unplug();
  });
  state.sleep = pullingAtBegin.Function();
  RunNotes notes;
  EXPECT_EQ(UpdateRun(state, bus, &notes), 2);
  EXPECT_NE(notes.back().find("device gone"), std::string::npos);
  // The five Program attempts each failed at their first report.
  EXPECT_EQ(bus.Trace().size(), 6u);
}

}  // namespace
}  // namespace kbt::test
