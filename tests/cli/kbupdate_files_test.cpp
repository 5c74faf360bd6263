// What kbupdate does with the user's files: it never writes over its input,
// every failed write is exit 4 with its reason, every error is one message
// naming the file and the reason, and "-" reads stdin or writes stdout.
#include <filesystem>
#include <string>
#include <vector>

#include "kbupdate_run.h"

namespace kbt::test {
namespace {

namespace fs = std::filesystem;

// The demo firmware as a raw image, made by convert itself.
std::string DemoImage(const Workdir& w) {
  EXPECT_EQ(w.Kbupdate("convert fw.hex fw.bin").exitCode, 0);
  return w.Read("fw.bin");
}

struct Refusal {
  const char* name;
  std::string setUp;  // shell commands run in the folder first
  std::string args;
  const char* saying;
};

class RefusedOutputTest : public testing::TestWithParam<Refusal> {};

// Each refused command exits 2 with one sentence, and every file in the
// folder keeps its bytes: nothing was opened for writing.
TEST_P(RefusedOutputTest, ExitsTwoAndChangesNoFile) {
  Workdir w;
  const std::string image = DemoImage(w);
  const std::string hex = w.Read("fw.hex");
  if (!GetParam().setUp.empty()) {
    ASSERT_EQ(std::system(("cd '" + w.Dir().string() + "' && " + GetParam().setUp).c_str()), 0);
  }
  const std::vector<std::string> before = {w.Read("fw.hex"), w.Read("fw.bin")};

  const Outcome r = w.Kbupdate(GetParam().args);
  EXPECT_EQ(r.exitCode, 2) << r.err;
  ASSERT_EQ(r.ErrLines().size(), 1u) << r.err;
  EXPECT_NE(r.err.find(GetParam().saying), std::string::npos) << r.err;
  EXPECT_EQ(w.Read("fw.hex"), hex);
  EXPECT_EQ(w.Read("fw.bin"), image);
  EXPECT_FALSE(fs::exists(w / "swap.hex"));
  EXPECT_FALSE(fs::exists(w / "DLog.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Kbupdate, RefusedOutputTest,
    testing::Values(
        Refusal{"ConvertOntoItself", "", "convert fw.hex fw.hex", "is the input file"},
        Refusal{"ConvertOntoASymlink", "ln -s fw.hex link.hex", "convert fw.hex link.hex",
                "is the input file"},
        Refusal{"ConvertOntoAHardLink", "ln fw.hex other.bin", "convert fw.hex other.bin",
                "is the input file"},
        Refusal{"ConvertThroughAnotherSpelling", "mkdir sub", "convert fw.hex sub/../fw.hex",
                "is the input file"},
        Refusal{"ConvertStdinOntoItsFile", "", "convert - fw.hex <fw.hex", "is the input file"},
        Refusal{"ConvertArgumentsSwapped", "", "convert fw.bin swap.hex", "ends in .hex"},
        Refusal{"ConvertRawImageInput", "", "convert fw.bin out.bin", "NUL byte"},
        Refusal{"FlashTraceOntoTheFirmware", "", "flash --simulate --trace fw.hex fw.hex",
                "is the firmware file"},
        Refusal{"FlashTraceOntoALink", "ln -s fw.hex t.txt",
                "flash --simulate --trace t.txt fw.hex", "is the firmware file"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(KbupdateConvert, ForceWritesAHexNameAndReadsARawInput) {
  Workdir w;
  DemoImage(w);
  EXPECT_EQ(w.Kbupdate("convert --force fw.hex out.hex").exitCode, 0);
  EXPECT_EQ(w.Read("out.hex"), w.Read("fw.bin"));
  EXPECT_EQ(w.Kbupdate("convert --force fw.bin out.bin").exitCode, 0);
}

// "-" is stdin for the input and stdout for the image; the report then moves
// to stderr so that stdout holds exactly the image.
TEST(KbupdateConvert, DashIsStdinAndStdout) {
  Workdir w;
  const std::string image = DemoImage(w);
  Outcome r = w.Kbupdate("convert - - <fw.hex");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, image);
  EXPECT_NE(r.err.find("signature: found"), std::string::npos) << r.err;
  r = w.Kbupdate("inspect - <fw.hex");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("standard input: "), std::string::npos) << r.out;
  // After "--" a word that starts with a dash is a file name.
  w.Write("-odd.hex", w.Read("fw.hex"));
  r = w.Kbupdate("convert -- -odd.hex -odd.bin");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(w.Read("-odd.bin"), image);
}

struct FailedWrite {
  const char* name;
  std::string args;
  const char* saying;
};

class FailedWriteTest : public testing::TestWithParam<FailedWrite> {};

TEST_P(FailedWriteTest, ExitsFourWithTheReason) {
  Workdir w;
  const Outcome r = w.Kbupdate(GetParam().args);
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_NE(r.err.find(GetParam().saying), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("kbupdate", r.err.find("kbupdate") + 1), std::string::npos)
      << "more than one message:\n"
      << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Kbupdate, FailedWriteTest,
    testing::Values(
        FailedWrite{"InspectToAFullDisk", "inspect fw.hex >/dev/full", "No space left on device"},
        FailedWrite{"InspectJsonToAFullDisk", "inspect --json fw.hex >/dev/full",
                    "No space left on device"},
        FailedWrite{"ConvertImageToAFullDisk", "convert fw.hex - >/dev/full",
                    "No space left on device"},
        FailedWrite{"ConvertReportToAFullDisk", "convert fw.hex out.bin >/dev/full",
                    "No space left on device"},
        FailedWrite{"ConvertIntoAFullDisk", "convert fw.hex /dev/full", "No space left on device"},
        FailedWrite{"ConvertIntoAMissingFolder", "convert fw.hex no/such/out.bin",
                    "No such file or directory"},
        FailedWrite{"ListJsonToAFullDisk", "list --simulate --json >/dev/full",
                    "No space left on device"}),
    [](const testing::TestParamInfo<FailedWrite>& info) { return std::string(info.param.name); });

struct Message {
  const char* name;
  std::string setUp;
  std::string args;
  int exitCode;
  std::vector<std::string> saying;
};

class OneMessageTest : public testing::TestWithParam<Message> {};

// One line on stderr per error, naming the file and the reason.
TEST_P(OneMessageTest, NamesTheFileAndTheReason) {
  Workdir w;
  if (!GetParam().setUp.empty()) {
    ASSERT_EQ(std::system(("cd '" + w.Dir().string() + "' && " + GetParam().setUp).c_str()), 0);
  }
  const Outcome r = w.Kbupdate(GetParam().args);
  EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err;
  EXPECT_EQ(r.ErrLines().size(), 1u) << r.err;
  for (const std::string& text : GetParam().saying)
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Kbupdate, OneMessageTest,
    testing::Values(
        Message{"ConvertMissing",
                "",
                "convert missing.hex out.bin",
                3,
                {"missing.hex", "No such file or directory"}},
        Message{"ConvertFolder", "mkdir d.hex", "convert d.hex out.bin", 3, {"d.hex", "folder"}},
        Message{"InspectMissing", "", "inspect missing.hex", 3, {"missing.hex", "No such file"}},
        Message{"FlashMissing", "", "flash --simulate missing.hex", 3, {"missing.hex", "No such"}},
        Message{"TraceIntoAMissingFolder",
                "",
                "flash --simulate --trace no/such/t.txt fw.hex",
                4,
                {"no/such/t.txt", "No such file or directory"}},
        Message{"UnknownOption", "", "convert --frob fw.hex out.bin", 2, {"--frob"}},
        Message{"MissingArgument", "", "convert fw.hex", 2, {"OUT.bin", "required"}}),
    [](const testing::TestParamInfo<Message>& info) { return std::string(info.param.name); });

// A file the user may not read is named with the system's reason, not the
// dialog's "No Finded". Root reads anything, so the case runs as nobody.
TEST(KbupdateMessages, UnreadableFileSaysPermissionDenied) {
  Workdir w;
  fs::permissions(w / "fw.hex", fs::perms::none);
  const std::string as = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
  const Outcome r = w.Kbupdate("convert fw.hex /tmp/kbt-never-written.bin", as);
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_EQ(r.ErrLines().size(), 1u) << r.err;
  EXPECT_NE(r.err.find("cannot open fw.hex: Permission denied"), std::string::npos) << r.err;
}

struct InspectCase {
  const char* name;
  std::string content;
  std::vector<std::string> saying;
  const char* absent = nullptr;
};

class InspectWordingTest : public testing::TestWithParam<InspectCase> {};

TEST_P(InspectWordingTest, SaysWhatTheReaderSees) {
  Workdir w;
  w.Write("t.hex", GetParam().content);
  const Outcome r = w.Kbupdate("inspect t.hex");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  for (const std::string& text : GetParam().saying)
    EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
  if (GetParam().absent) {
    EXPECT_EQ(r.out.find(GetParam().absent), std::string::npos) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kbupdate, InspectWordingTest,
    testing::Values(InspectCase{"OneLine", ":00000001FF\n", {"t.hex: 1 line\n"}},
                    InspectCase{"TwoLines", ":0100000000FF\n:00000001FF\n", {"t.hex: 2 lines\n"}},
                    InspectCase{"CarriageReturnsOnly",
                                ":0100000000FF\r:00000001FF\r",
                                {"t.hex: 1 line\n", "2 line ends are a carriage return alone",
                                 "reads as one long line"}},
                    InspectCase{"CarriageReturnLineFeedIsFine",
                                ":0100000000FF\r\n:00000001FF\r\n",
                                {"t.hex: 2 lines\n"},
                                "carriage return"}),
    [](const testing::TestParamInfo<InspectCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kbt::test
