// `kbupdate access` over simulated keyboards: the rule lines and who can
// open what, an install that adds each line once and says what changed,
// the refusal without root, and flash's hint when access is what is missing.
#include <unistd.h>

#include <string>

#include "kbupdate_run.h"

namespace kbt::test {
namespace {

const std::string kUpdateLine =
    R"(SUBSYSTEM=="hidraw", KERNELS=="*:0603:1020.*", MODE="0660", GROUP="plugdev", TAG+="uaccess")";
const std::string kSimLine =
    R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0660", GROUP="plugdev", TAG+="uaccess")";

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(KbupdateAccess, PrintsTheRulesAndWhoCanOpen) {
  Workdir w;
  const Outcome o = w.Script(
      "KBUPDATE_RULES_FILE=none.rules \"$KB\" access --simulate --sim-keyboards 2 "
      "--sim-no-access=@2");
  EXPECT_EQ(o.exitCode, 0) << o.err;
  // One line per pair, the update-mode device first, as a rule file.
  EXPECT_EQ(LinesStartingWith(o.out, "SUBSYSTEM"),
            (std::vector<std::string>{kUpdateLine, kSimLine}))
      << o.out;
  EXPECT_EQ(LinesStartingWith(o.out, "#   sim-1 ").size(), 1u) << o.out;
  EXPECT_NE(o.out.find("sim-1  normal operation  4B54:0101  can be opened now"), std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("sim-2  normal operation  4B54:0101  cannot be opened now: open "),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.err.find("sudo kbupdate access --install"), std::string::npos) << o.err;

  const Outcome none = w.Script(
      "KBUPDATE_RULES_FILE=none.rules \"$KB\" access --simulate "
      "--sim-keyboards 1 --json");
  EXPECT_EQ(none.exitCode, 0) << none.err;
  EXPECT_NE(none.out.find(R"({"type":"keyboard","location":"sim-1","mode":"normal")"),
            std::string::npos)
      << none.out;
  EXPECT_NE(none.out.find(R"({"type":"rule","line":)"), std::string::npos) << none.out;
}

TEST(KbupdateAccess, InstallAddsEachLineOnceAndSaysWhatChanged) {
  Workdir w;
  w.Write("local.rules", "# kept\n" + kUpdateLine + "\n");
  const std::string install =
      "KBUPDATE_RULES_FILE=local.rules \"$KB\" access --install --simulate --sim-keyboards 2 "
      "--sim-no-access=@1";
  const Outcome first = w.Script(install);
  EXPECT_EQ(first.exitCode, 0) << first.err;
  const std::string file = w.Read("local.rules");
  EXPECT_EQ(file.rfind("# kept\n" + kUpdateLine + "\n", 0), 0u) << file;
  EXPECT_EQ(Count(file, kUpdateLine), 1u) << file;
  EXPECT_EQ(Count(file, kSimLine), 1u) << file;
  EXPECT_NE(first.err.find("added 1 rule to local.rules"), std::string::npos) << first.err;
  EXPECT_NE(first.out.find("sim-1: can be opened now (before: open /dev/sim-1-"), std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find("sim-2: could be opened already"), std::string::npos) << first.out;

  // Nothing twice: a second run leaves the file byte for byte.
  const Outcome second = w.Script(install);
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(w.Read("local.rules"), file);
  EXPECT_NE(second.err.find("unchanged"), std::string::npos) << second.err;
  // The simulated keyboard now sees the rule, as udev would apply it.
  EXPECT_NE(second.out.find("sim-1: could be opened already"), std::string::npos) << second.out;
}

// What the install starts from: no rules folder at all (a system without
// udev yet), or a file whose lines for the keyboard grant no one anything.
// Either way the keyboard's line is written to the file named, and the
// simulated keyboard opens only afterwards.
TEST(KbupdateAccess, InstallFromNoFolderOrFromLinesThatGrantNothing) {
  const struct {
    const char* name;
    const char* file;
    std::string existing;  // "" for none
  } cases[] = {
      {"no rules folder", "etc/udev/rules.d/71.rules", ""},
      {"owner-only mode", "mode.rules",
       R"(SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0600")"},
      {"remove events only", "remove.rules",
       R"(ACTION=="remove", SUBSYSTEM=="hidraw", KERNELS=="*:4B54:0101.*", MODE="0666")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Workdir w;
    if (!c.existing.empty()) w.Write(c.file, c.existing + "\n");
    const std::string env = std::string("KBUPDATE_RULES_FILE=") + c.file;
    const Outcome look = w.Script(env + " \"$KB\" access --simulate --sim-no-access");
    EXPECT_EQ(look.out.find("(already installed)\n" + kSimLine), std::string::npos) << look.out;
    const Outcome r = w.Script(env + " \"$KB\" access --install --simulate --sim-no-access");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Count(w.Read(c.file), kSimLine), 1u) << w.Read(c.file);
    EXPECT_NE(r.out.find("sim-1: can be opened now"), std::string::npos) << r.out;
  }
}

TEST(KbupdateAccess, InstallRefusals) {
  Workdir w;
  // Root writes anywhere; the cases that need a plain user run as nobody.
  const std::string nobody =
      geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  struct Case {
    const char* name;
    std::string script;
    int exitCode;
    const char* saying;
  };
  const Case cases[] = {
      {"only root writes the system's file; the message names the command",
       nobody + "\"$KB\" access --install", 6, "run: sudo kbupdate access --install"},
      {"simulated keyboards never reach /etc", "\"$KB\" access --install --simulate", 2,
       "KBUPDATE_RULES_FILE"},
      {"a keyboard number past the simulated ones",
       "KBUPDATE_RULES_FILE=r.rules \"$KB\" access --install --simulate --sim-no-access=@2", 2,
       "--sim-no-access"},
      {"a rule file that cannot be written",
       "mkdir -p ro && chmod a-w ro && KBUPDATE_RULES_FILE=ro/r.rules " + nobody +
           "\"$KB\" access --install --simulate --sim-no-access",
       4, "cannot write ro/r.rules: "},
  };
  std::filesystem::permissions(w.Dir(), std::filesystem::perms::all,
                               std::filesystem::perm_options::add);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome r = w.Script(c.script);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_NE(r.err.find(c.saying), std::string::npos) << r.err;
  }
}

TEST(KbupdateAccess, FlashNamesTheCommandWhenAccessIsMissing) {
  Workdir w;
  const Outcome r = w.Kbupdate("flash --simulate --sim-no-access --wait 1 fw.hex");
  EXPECT_EQ(r.exitCode, 6) << r.err;
  EXPECT_NE(r.err.find("permission denied on /dev/sim-1-"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("run: sudo kbupdate access --install"), std::string::npos) << r.err;
  EXPECT_EQ(w.Read("DLog.txt"), "FAIL\r\n");
}

}  // namespace
}  // namespace kbt::test
