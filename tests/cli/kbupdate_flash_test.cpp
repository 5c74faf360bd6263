// kbupdate flash on the simulated keyboard, where files and outputs go
// wrong: a DLog.txt that is a folder, a folder it may not write, a full disk
// under the trace; and its --json lines.
#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kbupdate_run.h"

namespace kbt::test {
namespace {

namespace fs = std::filesystem;

std::size_t CountLines(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += c == '\n';
  return n;
}

// Once a crash (an exception out of reading the log back) after the run;
// now refused before any keyboard is touched: exit 4 and the reason.
TEST(KbupdateFlash, LogThatIsAFolderIsAFailedWrite) {
  Workdir w;
  fs::create_directory(w / "DLog.txt");
  const Outcome r = w.Kbupdate("flash --simulate --trace t.txt fw.hex");
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_NE(r.err.find("DLog.txt"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("is a folder"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(w / "t.txt")) << "a keyboard was touched";
}

TEST(KbupdateFlash, ReadOnlyFolderIsAFailedWrite) {
  Workdir w;
  fs::permissions(w.Dir(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec);
  // Root writes anywhere; the case runs as nobody then.
  const std::string as = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
  const Outcome r = w.Kbupdate("flash -q --simulate fw.hex", as);
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(w / "DLog.txt"));
}

TEST(KbupdateFlash, TraceOnAFullDiskIsAFailedWrite) {
  Workdir w;
  const Outcome r = w.Kbupdate("flash -q --simulate --trace /dev/full fw.hex");
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_NE(r.err.find("/dev/full"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
}

// Every stdout line is a JSON object; the last one is the result. The bar
// counts stages: a repeated verify pass goes back to the verify stage and
// never beyond 17, and each failed pass is a note as it happens, before the
// next pass's progress.
TEST(KbupdateFlash, JsonLinesEndWithTheResult) {
  Workdir w;
  const Outcome r = w.Kbupdate("flash --json --simulate --sim-corrupt=2 fw.hex");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  ASSERT_GT(CountLines(r.out), 2u) << r.out;
  nlohmann::json last;
  int notesBeforeSecondPass = -1;
  int notes = 0;
  int highestAttempt = 0;
  std::size_t start = 0;
  while (start < r.out.size()) {
    const std::size_t end = r.out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    last = nlohmann::json::parse(r.out.substr(start, end - start));
    if (last["type"] == "note") ++notes;
    if (last["type"] == "progress") {
      EXPECT_GE(last["step"].get<int>(), 1);
      EXPECT_LE(last["step"].get<int>(), 17);
      EXPECT_EQ(last["location"], "sim-1");
      const int attempt = last["attempt"];
      if (attempt == 2 && notesBeforeSecondPass < 0) notesBeforeSecondPass = notes;
      highestAttempt = std::max(highestAttempt, attempt);
    }
    start = end + 1;
  }
  EXPECT_EQ(notesBeforeSecondPass, 1) << r.out;
  EXPECT_EQ(highestAttempt, 10);
  EXPECT_EQ(last["type"], "result");
  EXPECT_EQ(last["result"], "FAIL");
  EXPECT_EQ(last["exit_code"], 1);
  EXPECT_TRUE(last["elapsed_s"].is_number());
  EXPECT_EQ(w.Read("DLog.txt"), "FAIL\r\n");
}

struct Refused {
  const char* name;
  std::string setUp;  // shell text run in the folder first
  std::string args;
  int exitCode;
};

class StalePassTest : public testing::TestWithParam<Refused> {};

// A run that ends without updating leaves FAIL where an earlier PASS was,
// so that a script reading DLog.txt never records a false PASS.
TEST_P(StalePassTest, LeavesFail) {
  Workdir w;
  w.Write("DLog.txt", "PASS\r\n");
  if (!GetParam().setUp.empty()) {
    ASSERT_EQ(std::system(("cd '" + w.Dir().string() + "' && " + GetParam().setUp).c_str()), 0);
  }
  const Outcome r = w.Kbupdate(GetParam().args);
  EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err;
  EXPECT_EQ(w.Read("DLog.txt"), "FAIL\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Kbupdate, StalePassTest,
    testing::Values(
        Refused{"MissingFile", "", "flash -q --simulate missing.hex", 3},
        Refused{"NoSignature", "printf ':0100000000FF\\n:00000001FF\\n' >plain.hex",
                "flash -q --simulate --trace t.txt plain.hex", 5},
        Refused{"NoKeyboardBack", "", "flash -q --simulate --wait 1 --sim-refuse-entry fw.hex", 6},
        Refused{"SeveralWithoutChoice", "", "flash -q --simulate --sim-keyboards 2 fw.hex", 2},
        Refused{"Failed", "", "flash -q --simulate --sim-fail-from=3 fw.hex", 1}),
    [](const testing::TestParamInfo<Refused>& info) { return std::string(info.param.name); });

// The file is converted and checked before any device is touched: no trace
// file was even created.
TEST(KbupdateFlash, NoSignatureTouchesNoKeyboard) {
  Workdir w;
  w.Write("plain.hex", ":0100000000FF\n:00000001FF\n");
  const Outcome r = w.Kbupdate("flash --simulate --trace t.txt plain.hex");
  EXPECT_EQ(r.exitCode, 5) << r.err;
  EXPECT_FALSE(fs::exists(w / "t.txt"));
  EXPECT_EQ(r.err.find("looking for"), std::string::npos) << r.err;
}

TEST(KbupdateFlash, DryRunSendsNothing) {
  Workdir w;
  const Outcome r = w.Kbupdate("flash --simulate --dry-run --trace t.txt fw.hex");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("sim-1 (normal mode) would get"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Enter-update-mode pair 05 75, 05 AB"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("nothing was sent"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(w / "t.txt"));
  EXPECT_FALSE(fs::exists(w / "DLog.txt"));
}

// In a pipe: one line per stage, 1/17 to 17/17 once each (no repeated
// 0/17), and the time with the result.
TEST(KbupdateFlash, ProgressInAPipeCountsStages) {
  Workdir w;
  const Outcome r = w.Kbupdate("flash --simulate fw.hex");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const auto steps = LinesStartingWith(r.err, "sim-1: ");
  std::vector<std::string> progress;
  for (const std::string& line : steps)
    if (line.find("/17 ") != std::string::npos) progress.push_back(line);
  ASSERT_EQ(progress.size(), 17u) << r.err;
  for (std::size_t i = 0; i < progress.size(); ++i)
    EXPECT_EQ(progress[i].rfind("sim-1: " + std::to_string(i + 1) + "/17 ", 0), 0u) << progress[i];
  EXPECT_NE(r.err.find("passed after "), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("sim-1     PASS"), std::string::npos) << r.out;
}

struct Interrupt {
  const char* name;
  const char* signal;
  int exitCode;
};

class InterruptTest : public testing::TestWithParam<Interrupt> {};

// Stopped during the update: nothing more is sent, FAIL, a whole trace, the
// keyboard's probable state, 128 + the signal.
TEST_P(InterruptTest, StopsAtAReportBoundary) {
  Workdir w;
  w.Write("DLog.txt", "PASS\r\n");
  // The signal comes as soon as the Begin command is in the trace; the
  // session then waits 2 s before its next report.
  const Outcome r = w.Script(
      std::string("\"$KB\" flash --simulate --trace t.txt fw.hex & pid=$!; "
                  "for i in $(seq 300); do grep -q ' command set ok 05 ' t.txt 2>/dev/null && "
                  "break; sleep 0.1; done; kill -") +
      GetParam().signal + " $pid; wait $pid");
  EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err;
  EXPECT_EQ(w.Read("DLog.txt"), "FAIL\r\n");
  EXPECT_NE(r.err.find("still in update mode: run flash again"), std::string::npos) << r.err;
  const std::string trace = w.Read("t.txt");
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back(), '\n');
  EXPECT_NE(trace.find(" command set ok 05 "), std::string::npos) << "no Begin before the stop";
  EXPECT_LT(CountLines(trace), 31u) << "the run went on to its end";
  EXPECT_NE(r.out.find("FAIL"), std::string::npos) << r.out;
}

// Stopped before the update began (the keyboard switching into update
// mode): the table says why, as stderr does.
TEST(KbupdateFlash, InterruptedBeforeTheUpdateSaysSoInTheTable) {
  Workdir w;
  const Outcome r = w.Script(
      "\"$KB\" flash --simulate --trace t.txt fw.hex & pid=$!; "
      "for i in $(seq 300); do grep -q ' normal set ok 05 ' t.txt 2>/dev/null && break; "
      "sleep 0.02; done; kill -INT $pid; wait $pid");
  EXPECT_EQ(r.exitCode, 130) << r.err;
  const auto rows = LinesStartingWith(r.out, "sim-1 ");
  ASSERT_EQ(rows.size(), 1u) << r.out;
  EXPECT_NE(rows[0].find("FAIL"), std::string::npos) << rows[0];
  EXPECT_NE(rows[0].find("interrupted"), std::string::npos) << rows[0];
}

INSTANTIATE_TEST_SUITE_P(Kbupdate, InterruptTest,
                         testing::Values(Interrupt{"Sigint", "INT", 130},
                                         Interrupt{"Sigterm", "TERM", 143}),
                         [](const testing::TestParamInfo<Interrupt>& info) {
                           return std::string(info.param.name);
                         });

// A second Ctrl+C does not wait for the report boundary: the process ends
// at once (no table), and the trace written so far is still whole lines.
TEST(KbupdateFlash, SecondInterruptEndsAtOnce) {
  Workdir w;
  const Outcome r = w.Script(
      "\"$KB\" flash --simulate --trace t.txt fw.hex & pid=$!; "
      "for i in $(seq 300); do grep -q ' command set ok 05 ' t.txt 2>/dev/null && break; "
      "sleep 0.1; done; kill -INT $pid; sleep 0.2; kill -INT $pid; wait $pid");
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_EQ(r.out.find("location"), std::string::npos) << r.out;
  EXPECT_EQ(w.Read("DLog.txt"), "FAIL\r\n");
  const std::string trace = w.Read("t.txt");
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back(), '\n');
}

// A second flash in a folder whose DLog.txt another holds waits for it, so
// that results and traces never mix; past its wait it gives up with exit 4.
TEST(KbupdateFlash, SecondRunInTheFolderWaits) {
  Workdir w;
  const Outcome r = w.Script(
      "\"$KB\" flash -q --simulate --trace t.txt fw.hex >first.txt 2>&1 & first=$!; "
      "while [ ! -e t.txt ]; do sleep 0.05; done; "  // made once it holds the log
      "\"$KB\" flash --simulate --trace t.txt fw.hex; second=$?; "
      "wait $first; echo \"first $? second $second\"");
  EXPECT_NE(r.out.find("first 0 second 0"), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.err.find("waiting for it to end"), std::string::npos) << r.err;
  // The trace is the second run's alone, numbered 1 to 31 without a gap.
  const auto lines = LinesStartingWith(w.Read("t.txt"), "");
  ASSERT_EQ(lines.size(), 31u);
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].rfind(std::to_string(i + 1) + " ", 0), 0u) << lines[i];
}

TEST(KbupdateFlash, HeldLogPastTheWaitIsAFailedWrite) {
  Workdir w;
  const Outcome r = w.Script(
      "flock DLog.txt sh -c 'touch held; sleep 4' & while [ ! -e held ]; do sleep 0.05; done; "
      "\"$KB\" flash -q --simulate --wait 1 fw.hex; "
      "code=$?; wait; exit $code");
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_NE(r.err.find("still held by another kbupdate flash"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kbt::test
