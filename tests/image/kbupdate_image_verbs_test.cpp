// The command line's image verbs end to end: `kbupdate convert`,
// `kbupdate inspect` and the help, run as a user runs them, with their exit
// codes and messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "image/hex_to_bin.h"
#include "image_test_util.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace kbt {
namespace {

struct Result {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};

#ifndef _WIN32
Result RunKbupdate(const std::string& arguments) {
  Result r;
  const std::string command = std::string("'") + KB_KBUPDATE + "' " + arguments + " 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
  const int status = pclose(pipe);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}
#endif

const std::string kDemo = KB_SOURCE_DIR "/res/demo/firmware.hex";

struct VerbCase {
  const char* name;
  std::string arguments;  // {dir} stands for a fresh temporary folder
  int exitCode;
  std::vector<std::string> saying;
};

class ImageVerbsTest : public testing::TestWithParam<VerbCase> {};

TEST_P(ImageVerbsTest, ExitCodeAndMessage) {
#ifdef _WIN32
  GTEST_SKIP() << "runs the program through a POSIX shell";
#else
  test::TempDir dir;
  std::string arguments = GetParam().arguments;
  for (std::size_t at; (at = arguments.find("{dir}")) != std::string::npos;) {
    arguments.replace(at, 5, dir.path().string());
  }
  dir.Write("bare.hex", ":0300000002010041\n:00000001FF\n");
  const Result r = RunKbupdate(arguments);
  EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.output;
  for (const std::string& text : GetParam().saying)
    EXPECT_NE(r.output.find(text), std::string::npos) << r.output;
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Kbupdate, ImageVerbsTest,
    testing::Values(
        VerbCase{"ConvertDemo",
                 "convert " + kDemo + " {dir}/out.bin",
                 0,
                 {"wrote 14336 bytes", "found at offset 4922"}},
        VerbCase{"ConvertWithoutSignature",
                 "convert {dir}/bare.hex {dir}/out.bin",
                 0,
                 {"signature: not found"}},
        VerbCase{"ConvertMissingInput",
                 "convert {dir}/none.hex {dir}/out.bin",
                 3,
                 {"cannot open", "none.hex: No such file or directory"}},
        VerbCase{"ConvertFolderAsInput",
                 "convert {dir} {dir}/out.bin",
                 3,
                 {"cannot open", "is a folder, not a file"}},
        VerbCase{"ConvertUnwritableOutput",
                 "convert " + kDemo + " {dir}/no/such/folder/out.bin",
                 4,
                 {"cannot create"}},
        VerbCase{"ConvertOneArgument", "convert " + kDemo, 2, {"OUT.bin is required"}},
        VerbCase{
            "InspectDemo", "inspect " + kDemo, 0, {"00 data", "image end: 0x1372", "0 warnings"}},
        VerbCase{"InspectMissing",
                 "inspect {dir}/none.hex",
                 3,
                 {"cannot open", "No such file or directory"}},
        // Regular to stat, but its first read fails (no mapping at address 0).
        VerbCase{"InspectReadError",
                 "inspect /proc/self/mem",
                 3,
                 {"reading /proc/self/mem failed part way"}},
        VerbCase{"Overview", "--help", 0, {"convert", "inspect", "exit codes:"}},
        VerbCase{"HelpVerb", "help convert", 0, {"usage: kbupdate convert [--force] FILE.hex OUT.bin"}},
        VerbCase{"HelpHelp", "help --help", 0, {"usage: kbupdate [-v|-q] VERB"}},
        VerbCase{"VerbHelpFlag", "inspect --help", 0, {"usage: kbupdate inspect [--json] FILE.hex"}},
        VerbCase{"UnknownVerb", "frobnicate", 2, {"unknown verb 'frobnicate'"}},
        VerbCase{"NoArguments", "", 2, {"usage: kbupdate [-v|-q] VERB"}}),
    [](const testing::TestParamInfo<VerbCase>& info) { return std::string(info.param.name); });

// What convert writes is the whole image, byte for byte what HexToBin makes.
TEST(KbupdateConvert, WritesTheWholeImage) {
#ifdef _WIN32
  GTEST_SKIP() << "runs the program through a POSIX shell";
#else
  test::TempDir dir;
  const auto out = dir.path() / "out.bin";
  ASSERT_EQ(RunKbupdate("convert " + kDemo + " " + out.string()).exitCode, 0);
  std::ifstream in(out, std::ios::binary);
  const std::vector<std::uint8_t> written{std::istreambuf_iterator<char>(in), {}};
  std::vector<std::uint8_t> image(kImageSize, 0);
  ASSERT_EQ(HexToBin(std::filesystem::path(kDemo).wstring(), image.data()).status, kHexToBinRead);
  EXPECT_EQ(written, image);
#endif
}

}  // namespace
}  // namespace kbt
