// The Linux dialog's command line: an optional firmware file, made absolute
// against the current folder, and the usual --help/--version.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/qt_app.h"
#include "image/file_platform.h"

namespace kbt {
namespace {

using Action = DialogArguments::Action;

TEST(DialogArguments, FileIsMadeAbsoluteAndKeptAsGiven) {
  const std::string cwd = std::filesystem::current_path().native();
  struct Case {
    std::vector<std::string> args;
    std::string file;  // expected bytes; empty: no file
  };
  const Case cases[] = {
      {{}, ""},
      {{"fw.hex"}, cwd + "/fw.hex"},
      {{"./fw.hex"}, cwd + "/fw.hex"},
      {{"../up/fw.hex"}, cwd + "/../up/fw.hex"},
      {{"/media/stick/FW.HEX"}, "/media/stick/FW.HEX"},
      // Bytes that are not UTF-8 reach the file system unchanged.
      {{"/tmp/fw\xff.hex"}, "/tmp/fw\xff.hex"},
      // After "--" a name may start with a dash; "-" alone is a name too.
      {{"--", "-fw.hex"}, cwd + "/-fw.hex"},
      {{"-"}, cwd + "/-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.back());
    const DialogArguments parsed = ParseDialogArguments(c.args);
    EXPECT_EQ(parsed.action, Action::Run) << parsed.error;
    if (c.file.empty()) {
      EXPECT_FALSE(parsed.file.has_value());
    } else {
      ASSERT_TRUE(parsed.file.has_value());
      EXPECT_EQ(*parsed.file, platform::PathFromArgument(c.file.c_str()));
      EXPECT_EQ(platform::PathForDisplay(*parsed.file), c.file);
    }
  }
}

TEST(DialogArguments, HelpVersionAndWrongCommandLines) {
  struct Case {
    std::vector<std::string> args;
    Action action;
  };
  const Case cases[] = {
      {{"--help"}, Action::Help},
      {{"-h"}, Action::Help},
      {{"fw.hex", "--help"}, Action::Help},
      {{"--version"}, Action::Version},
      {{"-V"}, Action::Version},
      {{"--version", "--help"}, Action::Help},
      {{"a.hex", "b.hex"}, Action::Error},
      {{"--bogus"}, Action::Error},
      // Qt's own options are not taken: the program hands Qt none.
      {{"-style", "fusion"}, Action::Error},
      {{""}, Action::Error},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    const DialogArguments parsed = ParseDialogArguments(c.args);
    EXPECT_EQ(parsed.action, c.action);
    EXPECT_FALSE(parsed.file.has_value());
    EXPECT_EQ(parsed.error.empty(), c.action != Action::Error);
  }
  EXPECT_EQ(FinishWithoutWindow(ParseDialogArguments({"--bogus"}), "keyboard-update-tool"), 2);
  EXPECT_NE(DialogHelpText("keyboard-update-tool").find("Usage: keyboard-update-tool [FILE.hex]"),
            std::string::npos);
}

}  // namespace
}  // namespace kbt
