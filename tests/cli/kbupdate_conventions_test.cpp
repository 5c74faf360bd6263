// The conventions every verb shares: help and version, option errors, -v and
// -q, the exit codes the help promises, and --json lines that a JSON reader
// takes.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kbupdate_run.h"

namespace kbt::test {
namespace {

using nlohmann::json;

std::vector<json> JsonLines(const std::string& out) {
  std::vector<json> lines;
  std::size_t start = 0;
  while (start < out.size()) {
    const std::size_t end = out.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "last line without its line feed";
    if (end == std::string::npos) break;
    lines.push_back(json::parse(out.substr(start, end - start)));  // throws on bad JSON
    start = end + 1;
  }
  return lines;
}

TEST(KbupdateHelp, ListsEveryExitCode) {
  Workdir w;
  const Outcome r = w.Kbupdate("--help");
  EXPECT_EQ(r.exitCode, 0);
  for (int code = 0; code <= 7; ++code)
    EXPECT_NE(r.out.find("\n  " + std::to_string(code) + "  "), std::string::npos)
        << "exit code " << code << " missing:\n"
        << r.out;
  for (const char* verb : {"convert", "inspect", "flash", "list"})
    EXPECT_NE(r.out.find(verb), std::string::npos) << r.out;
}

struct Usage {
  const char* name;
  std::string args;
  int exitCode;
  const char* saying;  // on stdout for 0, else on stderr
};

class UsageTest : public testing::TestWithParam<Usage> {};

TEST_P(UsageTest, ExitCodeAndMessage) {
  Workdir w;
  const Outcome r = w.Kbupdate(GetParam().args);
  EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.out << r.err;
  const std::string& where = GetParam().exitCode == 0 ? r.out : r.err;
  EXPECT_NE(where.find(GetParam().saying), std::string::npos) << r.out << r.err;
  if (GetParam().exitCode != 0) {
    EXPECT_EQ(r.ErrLines().size(), 1u) << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kbupdate, UsageTest,
    testing::Values(
        Usage{"Version", "--version", 0, "kbupdate 1."},
        Usage{"VersionRejectsMore", "--version convert", 2, "'convert' after --version"},
        Usage{"HelpRejectsMore", "--help flash", 2, "'flash' after --help"},
        Usage{"VerbHelp", "flash --help", 0, "usage: kbupdate flash"},
        Usage{"VerbHelpRejectsMore", "flash --help fw.hex", 2, "--help takes no other arguments"},
        Usage{"HelpAfterDashDashIsAFile", "inspect -- --help", 3, "cannot open --help"},
        Usage{"UnknownOptionNamed", "inspect --frobnicate fw.hex", 2, "--frobnicate"},
        Usage{"UnknownLeadingOption", "--frobnicate", 2, "unknown option '--frobnicate'"},
        Usage{"VerboseAndQuiet", "-v inspect -q fw.hex", 2, "-v and -q"},
        Usage{"WaitOutOfRange", "flash --simulate --wait 0 fw.hex", 2, "--wait"},
        Usage{"FaultNumberNotANumber", "flash --simulate --sim-fail=x fw.hex", 2, "--sim-fail"},
        Usage{"FaultOnAMissingKeyboard", "flash --simulate --sim-unplug=13@2 fw.hex", 2,
              "only 1 simulated keyboard"},
        Usage{"FaultWithoutSimulate", "flash --sim-corrupt=2 fw.hex", 2, "need --simulate"},
        Usage{"EmptyTraceName", "flash --simulate --trace '' fw.hex", 2, "--trace"}),
    [](const testing::TestParamInfo<Usage>& info) { return std::string(info.param.name); });

// Every fault flag of every verb that takes them, written FLAG=VALUE in the
// usage line's order: each takes its own value and no more (the file and
// the options after it stay what they are), and each listed in a verb's
// help is taken there.
TEST(KbupdateFaultFlags, TakeTheirOwnValueOnly) {
  const struct {
    const char* args;
    int exitCode;
    const char* written;  // a file the run leaves, or nullptr
  } cases[] = {
      {"flash --simulate --sim-fail=3 fw.hex -q", 0, "DLog.txt"},
      {"flash --simulate --dry-run --sim-fail-from=40 fw.hex --wait 5", 0, nullptr},
      {"flash --simulate --dry-run --sim-unplug=13 fw.hex -q", 0, nullptr},
      {"flash --simulate --dry-run --sim-reject-block=2 fw.hex -q", 0, nullptr},
      {"flash --simulate --dry-run --sim-corrupt=2 fw.hex -q", 0, nullptr},
      {"dump --simulate --sim-unplug=40 o.hex --bin o.bin", 0, "o.bin"},
      {"verify --simulate --sim-corrupt=2 fw.hex -q", 1, nullptr},
      {"station --simulate --sim-reject-block=6 fw.hex --count 1", 1, "kbupdate-results.csv"},
      {"station --simulate --sim-keyboards 2 --sim-no-access=@2 fw.hex --count 1", 0,
       "kbupdate-results.csv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    Workdir w;
    const Outcome r = w.Kbupdate(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_EQ(r.err.find("required"), std::string::npos) << r.err;
    if (c.written) {
      EXPECT_NE(w.Read(c.written), "") << c.written;
    }
  }
}

// -q leaves stdout's result and drops the chatter; -v before or after the
// verb is the same flag.
TEST(KbupdateVerbosity, QuietKeepsResultsOnly) {
  Workdir w;
  Outcome r = w.Kbupdate("-q convert fw.hex - ");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
  r = w.Kbupdate("convert -q fw.hex out.bin");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("signature: found"), std::string::npos);
  r = w.Kbupdate("inspect fw.hex -v");
  EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(KbupdateJson, InspectIsOneObject) {
  Workdir w;
  const Outcome r = w.Kbupdate("inspect --json fw.hex");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = JsonLines(r.out);
  ASSERT_EQ(lines.size(), 1u);
  const json& j = lines[0];
  EXPECT_EQ(j["type"], "inspection");
  EXPECT_EQ(j["file"], "fw.hex");
  EXPECT_EQ(j["signature_offset"], 4922);
  EXPECT_EQ(j["image_end"], 0x1372);
  EXPECT_EQ(j["warnings"], 0);
  EXPECT_EQ(j["bad_checksum_lines"]["count"], 0);
  EXPECT_TRUE(j["end_record_line"].is_number());
}

TEST(KbupdateJson, InspectCountsFindingsAndNullsTheMissing) {
  Workdir w;
  // A wrong checksum on line 1, no signature, no end record.
  w.Write("bad.hex", ":0100000000FE\n");
  const Outcome r = w.Kbupdate("inspect --json bad.hex");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = JsonLines(r.out);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["bad_checksum_lines"]["count"], 1);
  EXPECT_EQ(lines[0]["bad_checksum_lines"]["lines"], json::array({1}));
  EXPECT_TRUE(lines[0]["signature_offset"].is_null());
  EXPECT_TRUE(lines[0]["end_record_line"].is_null());
  // The missing end record warns: a download cut short ends that way.
  EXPECT_EQ(lines[0]["warnings"], 3);
  const Outcome text = w.Kbupdate("inspect bad.hex");
  EXPECT_NE(text.out.find("warning: end record: none"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\n3 warnings\n"), std::string::npos) << text.out;
}

// One object per keyboard, its interfaces inside it, as a JSON reader
// takes them.
TEST(KbupdateJson, ListSimulatedParses) {
  Workdir w;
  const Outcome r = w.Kbupdate("list --simulate --sim-keyboards 2 --json");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = JsonLines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  for (int k = 1; k <= 2; ++k) {
    const json& j = lines[static_cast<std::size_t>(k - 1)];
    EXPECT_EQ(j["type"], "keyboard");
    EXPECT_EQ(j["location"], "sim-" + std::to_string(k));
    EXPECT_EQ(j["mode"], "normal");
    EXPECT_EQ(j["complete"], true);
    int enter = 0;
    for (const json& i : j["interfaces"]) {
      if (i.value("discovery", "") != "enter") continue;
      ++enter;
      EXPECT_EQ(i["usage_page"], 0xFF00);
      EXPECT_EQ(i["feature_report_length"], 6);
      EXPECT_EQ(i["access"], "ok");
    }
    EXPECT_EQ(enter, 1) << j.dump();
  }
}

TEST(KbupdateList, GroupsByKeyboard) {
  Workdir w;
  const Outcome r = w.Kbupdate("list --simulate --sim-keyboards 2");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto first = r.out.find("keyboard at sim-1: normal mode");
  const auto second = r.out.find("keyboard at sim-2: normal mode");
  ASSERT_NE(first, std::string::npos) << r.out;
  ASSERT_NE(second, std::string::npos) << r.out;
  // Each keyboard's vendor interface sits under its own heading.
  EXPECT_LT(r.out.find("/dev/sim-1-hidraw1"), second) << r.out;
  EXPECT_GT(r.out.find("/dev/sim-2-hidraw1"), second) << r.out;
}

}  // namespace
}  // namespace kbt::test
