// kbupdate flash on the simulated keyboard, where files and outputs go
// wrong: a DLog.txt that is a folder, a folder it may not write, a full disk
// under the trace; and its --json lines.
#include <nlohmann/json.hpp>
#include <string>

#include "kbupdate_run.h"

namespace kbt::test {
namespace {

namespace fs = std::filesystem;

std::size_t CountLines(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += c == '\n';
  return n;
}

// Once a crash (an exception out of reading the log back); now the run ends
// with its result, exit 4 and the reason, and a whole trace.
TEST(KbupdateFlash, LogThatIsAFolderIsAFailedWrite) {
  Workdir w;
  fs::create_directory(w / "DLog.txt");
  const Outcome r = w.Kbupdate("flash --simulate --trace t.txt fw.hex");
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_NE(r.err.find("DLog.txt"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("is a folder"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "PASS\n");
  const std::string trace = w.Read("t.txt");
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back(), '\n') << "trace cut mid-line";
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

// Every stdout line is a JSON object; the last one is the result, and the
// progress counts up to 17.
TEST(KbupdateFlash, JsonLinesEndWithTheResult) {
  Workdir w;
  const Outcome r = w.Kbupdate("flash --json --simulate --sim-corrupt=2 fw.hex");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  ASSERT_GT(CountLines(r.out), 2u) << r.out;
  nlohmann::json last;
  int lastStep = -1;
  std::size_t start = 0;
  while (start < r.out.size()) {
    const std::size_t end = r.out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    last = nlohmann::json::parse(r.out.substr(start, end - start));
    if (last["type"] == "progress") {
      EXPECT_GE(last["step"].get<int>(), lastStep);
      lastStep = last["step"];
    }
    start = end + 1;
  }
  EXPECT_EQ(last["type"], "result");
  EXPECT_EQ(last["result"], "FAIL");
  EXPECT_EQ(last["exit_code"], 1);
  EXPECT_TRUE(last["elapsed_s"].is_number());
  EXPECT_EQ(w.Read("DLog.txt"), "FAIL\r\n");
}

}  // namespace
}  // namespace kbt::test
