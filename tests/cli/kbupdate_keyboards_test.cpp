// Several simulated keyboards: --all, --port, faults aimed with @K, one
// trace per keyboard, the end table, and DLog.txt PASS only when every
// keyboard passed.
#include <filesystem>
#include <string>

#include "kbupdate_run.h"

namespace kbt::test {
namespace {

namespace fs = std::filesystem;

// The table row of `location` on stdout, or "".
std::string Row(const Outcome& r, const std::string& location) {
  const auto rows = LinesStartingWith(r.out, location + " ");
  return rows.size() == 1 ? rows[0] : "";
}

bool RowSays(const Outcome& r, const std::string& location, const std::string& result) {
  const std::string row = Row(r, location);
  return row.find(" " + result + " ") != std::string::npos;
}

TEST(KbupdateKeyboards, FourAtOnceEachWithItsTrace) {
  Workdir w;
  const Outcome r = w.Kbupdate("flash --simulate --sim-keyboards 4 --all --trace t.txt fw.hex");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  for (int k = 1; k <= 4; ++k) {
    const std::string location = "sim-" + std::to_string(k);
    EXPECT_TRUE(RowSays(r, location, "PASS")) << r.out;
    // The update's 27 reports (the entry pair before them is on the normal
    // interface), numbered from 1 in each file.
    const std::string trace = w.Read("t.txt." + location);
    const auto update = LinesStartingWith(trace, "");
    int reports = 0;
    for (const std::string& line : update)
      reports +=
          line.find(" command ") != std::string::npos || line.find(" data ") != std::string::npos;
    EXPECT_EQ(reports, 27) << location;
    EXPECT_EQ(trace.rfind("1 normal set ok 05 75", 0), 0u) << location;
  }
  EXPECT_FALSE(fs::exists(w / "t.txt"));
  EXPECT_EQ(w.Read("DLog.txt"), "PASS\r\n");
  EXPECT_EQ(r.out.substr(r.out.size() - 5), "PASS\n");
}

TEST(KbupdateKeyboards, OneLeavingTheBusFailsAlone) {
  Workdir w;
  const Outcome r =
      w.Kbupdate("flash -q --simulate --sim-keyboards 3 --all --sim-unplug=13@2 fw.hex");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_TRUE(RowSays(r, "sim-1", "PASS")) << r.out;
  EXPECT_TRUE(RowSays(r, "sim-2", "FAIL")) << r.out;
  EXPECT_NE(Row(r, "sim-2").find("device gone"), std::string::npos) << r.out;
  EXPECT_TRUE(RowSays(r, "sim-3", "PASS")) << r.out;
  EXPECT_EQ(w.Read("DLog.txt"), "FAIL\r\n");
  EXPECT_EQ(r.out.substr(r.out.size() - 5), "FAIL\n");
}

// A plain flash never picks one of several keyboards by itself.
TEST(KbupdateKeyboards, PlainFlashRefusesSeveralLocations) {
  Workdir w;
  const Outcome r = w.Kbupdate("flash --simulate --sim-keyboards 2 --trace t.txt fw.hex");
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_NE(r.err.find("sim-1, sim-2"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--port"), std::string::npos) << r.err;
  for (const char* trace : {"t.txt.sim-1", "t.txt.sim-2"})
    EXPECT_EQ(w.Read(trace), "") << "a keyboard was touched";
}

TEST(KbupdateKeyboards, PortChoosesOne) {
  Workdir w;
  const Outcome r =
      w.Kbupdate("flash -q --simulate --sim-keyboards 2 --port sim-2 --trace t.txt fw.hex");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(RowSays(r, "sim-2", "PASS")) << r.out;
  EXPECT_EQ(Row(r, "sim-1"), "") << r.out;
  EXPECT_FALSE(fs::exists(w / "t.txt.sim-1"));
  EXPECT_NE(w.Read("t.txt.sim-2"), "");
}

// Several --port update exactly the keyboards named; one named and absent
// is said in the table and fails the run as "no keyboard" (exit 6) once the
// wait is over, the others updated all the same.
TEST(KbupdateKeyboards, SeveralPortsUpdateExactlyThose) {
  const struct {
    const char* args;
    int exitCode;
    const char* pass;
    const char* fail;  // or nullptr
    const char* untouched;
  } cases[] = {
      {"--sim-keyboards 3 --port sim-1 --port sim-3", 0, "sim-1", nullptr, "sim-2"},
      {"--sim-keyboards 2 --port sim-2 --port sim-9", 6, "sim-2", "sim-9", "sim-1"},
      {"--sim-keyboards 2 --port sim-2 --port sim-2", 0, "sim-2", nullptr, "sim-1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    Workdir w;
    const Outcome r =
        w.Kbupdate(std::string("flash -q --simulate --wait 2 --trace t.txt ") + c.args + " fw.hex");
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_TRUE(RowSays(r, c.pass, "PASS")) << r.out;
    if (c.fail) {
      EXPECT_TRUE(RowSays(r, c.fail, "FAIL")) << r.out;
      EXPECT_NE(Row(r, c.fail).find("no keyboard appeared"), std::string::npos) << r.out;
    }
    EXPECT_EQ(Row(r, c.untouched), "") << r.out;
    EXPECT_FALSE(fs::exists(w / (std::string("t.txt.") + c.untouched)));
    EXPECT_EQ(w.Read("DLog.txt"), c.exitCode == 0 ? "PASS\r\n" : "FAIL\r\n");
  }
}

TEST(KbupdateKeyboards, PortThatNeverAppearsFails) {
  Workdir w;
  const Outcome r = w.Kbupdate("flash -q --simulate --wait 1 --port sim-7 fw.hex");
  EXPECT_EQ(r.exitCode, 6) << r.err;
  EXPECT_NE(r.err.find("sim-7"), std::string::npos) << r.err;
  EXPECT_EQ(w.Read("DLog.txt"), "FAIL\r\n");
}

}  // namespace
}  // namespace kbt::test
