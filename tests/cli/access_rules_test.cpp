// Access rules for the keyboards FindKeyboards sees: which lines, in the
// form of the shipped rule file, for a table of machines; which lines a rule
// file already covers; and extending the local file without duplicates.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/access_rules.h"
#include "tests/device/fake_hid.h"

namespace kbt::test {
namespace {

constexpr std::uint16_t kPage = 0xFF00;
const HidResult kDenied = HidResult::Denied("open /dev/hidraw1: permission denied on /dev/hidraw1");

InterfaceProbe At(std::string location, HidInterfaceInfo info, HidResult open = HidResult::Ok()) {
  info.location = std::move(location);
  return {std::move(info), std::move(open)};
}
InterfaceProbe Vendor(const std::string& location, std::uint16_t vid, std::uint16_t pid,
                      HidResult open = HidResult::Ok()) {
  return At(location,
            Info(L"/v" + std::wstring(location.begin(), location.end()), vid, pid, kPage, 6),
            std::move(open));
}
InterfaceProbe Boot(const std::string& location, std::uint16_t vid, std::uint16_t pid) {
  return At(location, Info(L"/b", vid, pid, 0x0001, 0));
}
InterfaceProbe Data(const std::string& location, HidResult open = HidResult::Ok()) {
  return At(location, Info(L"/d", 0x0603, 0x1020, kPage, 2050), std::move(open));
}
InterfaceProbe Command(const std::string& location, HidResult open = HidResult::Ok()) {
  return At(location, Info(L"/c", 0x0603, 0x1020, kPage, 6), std::move(open));
}

const std::string kUpdateLine =
    R"(SUBSYSTEM=="hidraw", KERNELS=="*:0603:1020.*", MODE="0660", GROUP="plugdev", TAG+="uaccess")";
const std::string kModelA =
    R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0660", GROUP="plugdev", TAG+="uaccess")";
const std::string kModelB =
    R"(SUBSYSTEM=="hidraw", KERNELS=="*:1A2C:00EF.*", MODE="0660", GROUP="plugdev", TAG+="uaccess")";

// "LINE" for a rule still missing, "LINE (installed)" for one covered.
std::vector<std::string> Lines(const AccessPlan& plan) {
  std::vector<std::string> out;
  for (const AccessRule& r : plan.rules)
    out.push_back(r.line + (r.installed ? " (installed)" : ""));
  return out;
}

// "location mode VVVV:PPPP ok|denied|fails".
std::vector<std::string> Keyboards(const AccessPlan& plan) {
  std::vector<std::string> out;
  for (const KeyboardAccess& k : plan.keyboards) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X:%04X", k.vendorId, k.productId);
    out.push_back(k.location + (k.mode == KeyboardMode::Update ? " update " : " normal ") +
                  (k.idsKnown ? ids : "?") + " " +
                  (k.canOpen        ? "ok"
                   : k.accessDenied ? "denied"
                                    : "fails"));
  }
  return out;
}

TEST(AccessRules, LinesForTheKeyboardsPresent) {
  struct Case {
    const char* name;
    std::vector<InterfaceProbe> probes;
    std::string installed;
    std::vector<std::string> lines;
    std::vector<std::string> keyboards;
  };
  const Case cases[] = {
      {"none: nothing to give access to", {Boot("1-1", 0x046D, 0xC31C)}, "", {}, {}},
      {"one keyboard in normal operation: its own pair and the one it switches to",
       {Boot("1-2", 0x4B54, 0x0101), Vendor("1-2", 0x4B54, 0x0101, kDenied)},
       "",
       {kUpdateLine, kModelA},
       {"1-2 normal 4B54:0101 denied"}},
      {"one keyboard in update mode",
       {Data("1-2"), Command("1-2")},
       "",
       {kUpdateLine},
       {"1-2 update 0603:1020 ok"}},
      {"two models and a second keyboard of the first: one line per pair",
       {Vendor("1-2", 0x4B54, 0x0101, kDenied), Vendor("1-3", 0x1A2C, 0x00EF, kDenied),
        Vendor("1-4", 0x4B54, 0x0101)},
       "",
       {kUpdateLine, kModelA, kModelB},
       {"1-2 normal 4B54:0101 denied", "1-3 normal 1A2C:00EF denied", "1-4 normal 4B54:0101 ok"}},
      {"one already covered by the shipped file",
       {Vendor("1-2", 0x4B54, 0x0101, kDenied), Data("1-5"), Command("1-5")},
       "# comment\n" + kUpdateLine + "\n",
       {kUpdateLine + " (installed)", kModelA},
       {"1-2 normal 4B54:0101 denied", "1-5 update 0603:1020 ok"}},
      {"a commented-out template line covers nothing",
       {Vendor("1-2", 0x4B54, 0x0101, kDenied)},
       "#" + kModelA + "\n",
       {kUpdateLine, kModelA},
       {"1-2 normal 4B54:0101 denied"}},
      {"an interface that fails for another reason still names its keyboard",
       {Data("1-6", HidResult::Fail("open /dev/hidraw7: device gone")), Command("1-6")},
       "",
       {kUpdateLine},
       {"1-6 update 0603:1020 fails"}},
      {"a keyboard caught re-enumerating keeps its normal-mode pair",
       {Vendor("1-2", 0x4B54, 0x0101), Data("1-2", kDenied)},
       "",
       {kUpdateLine, kModelA},
       {"1-2 normal 4B54:0101 denied"}},
      {"an unreadable interface names no pair",
       {At("1-7", Info(L"/x", 0, 0, 0, 0, false))},
       "",
       {},
       {"1-7 normal ? fails"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AccessPlan plan = PlanAccess(FindKeyboards(c.probes), c.probes, c.installed);
    EXPECT_EQ(Lines(plan), c.lines);
    EXPECT_EQ(Keyboards(plan), c.keyboards);
  }
}

// The shipped file is the reference for the form: the update-mode line
// the planner writes is the one the shipped file holds.
TEST(AccessRules, TheShippedFileCoversTheUpdateModeDeviceOnly) {
  std::ifstream in(KB_SOURCE_DIR "/res/udev/70-kbupdate.rules");
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find(kUpdateLine), std::string::npos);
  EXPECT_TRUE(RulesCover(text.str(), 0x0603, 0x1020));
  EXPECT_FALSE(RulesCover(text.str(), 0x4B54, 0x0101));
}

TEST(AccessRules, CoverNeedsAnActiveHidrawLineThatGrantsSomething) {
  struct Case {
    std::string text;
    bool covers;
  };
  const Case cases[] = {
      {kModelA, true},
      {"  " + kModelA + "\r", true},
      {R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", TAG+="uaccess")", true},
      {"# " + kModelA, false},
      {R"(SUBSYSTEM=="hidraw", KERNELS=="*:4b54:0101.*", MODE="0666")", false},  // lower case
      {R"(SUBSYSTEM=="usb", KERNELS=="*:4B54:0101.*", MODE="0666")", false},
      {R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", RUN+="/bin/true")", false},
      // Lines that match but give a user who is not root nothing.
      {R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0600")", false},
      {R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", GROUP="plugdev")", false},
      {R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0640", GROUP="plugdev")", false},
      {R"(ACTION=="remove", SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0666")", false},
      {R"(ACTION!="add", SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0666")", false},
      // And ones that do.
      {R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE:="0666")", true},
      {R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0660", GROUP="input")", true},
      {R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0600", TAG+="uaccess")", true},
      {R"(ACTION=="add|change", SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0666")", true},
      {R"(ACTION!="remove", SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0666")", true},
      {kModelB, false},
  };
  for (const Case& c : cases) EXPECT_EQ(RulesCover(c.text, 0x4B54, 0x0101), c.covers) << c.text;
}

TEST(AccessRules, ExtendingTheLocalFileAddsEachPairOnce) {
  const std::vector<InterfaceProbe> probes = {Vendor("1-2", 0x4B54, 0x0101, kDenied),
                                              Vendor("1-3", 0x1A2C, 0x00EF, kDenied)};
  const AccessPlan plan = PlanAccess(FindKeyboards(probes), probes, "");

  int added = -1;
  const std::string first = ExtendRuleFile("", plan.rules, added);
  EXPECT_EQ(added, 3);
  EXPECT_EQ(first.rfind("# ", 0), 0u) << "starts with its header";
  for (const std::string& line : {kUpdateLine, kModelA, kModelB}) {
    const auto at = first.find(line + "\n");
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_EQ(first.find(line, at + 1), std::string::npos) << "once: " << line;
  }

  // A second run, and a run that sees the same rules twice, add nothing.
  const std::string second = ExtendRuleFile(first, plan.rules, added);
  EXPECT_EQ(added, 0);
  EXPECT_EQ(second, first);
  std::vector<AccessRule> twice = plan.rules;
  twice.insert(twice.end(), plan.rules.begin(), plan.rules.end());
  EXPECT_EQ(ExtendRuleFile("", twice, added), first);

  // An administrator's own lines stay as they are; a file without a final
  // newline gets one before the new lines.
  const std::string own =
      "# mine\nSUBSYSTEM==\"hidraw\", KERNELS==\"*:4B54:0101.*\", MODE=\"0666\"";
  const std::string extended = ExtendRuleFile(own, plan.rules, added);
  EXPECT_EQ(added, 2);
  EXPECT_EQ(extended.rfind(own + "\n", 0), 0u);
  EXPECT_EQ(extended.find(kModelA), std::string::npos);
}

}  // namespace
}  // namespace kbt::test
