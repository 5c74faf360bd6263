// FindHexFile / SearchHexFiles over real temporary folders: the pattern for
// files and folders alike, the last match, letter case, and links that lead
// back into a folder.
#include "image/hex_file_location.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "image/hex_to_bin.h"
#include "image_test_util.h"

namespace kbt {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

struct LocationCase {
  const char* name;
  std::vector<std::string> entries;  // a trailing '/' makes a folder
  std::string expected;              // relative to the program's folder; "" for none
  bool needsOrderedListing = false;  // relies on the case-insensitive name order
};

class LocationTest : public testing::TestWithParam<LocationCase> {};

TEST_P(LocationTest, FieldShowsTheLastMatch) {
  const LocationCase& c = GetParam();
#ifdef _WIN32
  if (c.needsOrderedListing) GTEST_SKIP() << "Windows lists in the file system's own order";
#endif
  TempDir dir;
  dir.Write("kbupdate", "program");
  for (const std::string& e : c.entries) {
    if (e.back() == '/') {
      fs::create_directories(dir.path() / e.substr(0, e.size() - 1));
    } else {
      dir.Write(e, ":00000001FF\n");
    }
  }
  const HexFileSearch search = FindHexFileFor((dir.path() / "kbupdate").wstring());
  const std::wstring field = search.FieldText();
  const std::wstring expected = c.expected.empty()
                                    ? std::wstring(kNoFindHexFile)
                                    : (dir.path() / c.expected).make_preferred().wstring();
  EXPECT_EQ(field, expected);
  EXPECT_EQ(search.path, c.expected.empty() ? std::wstring() : expected);
}

INSTANTIATE_TEST_SUITE_P(
    FindHexFile, LocationTest,
    testing::Values(
        LocationCase{"OnlyTheProgram", {}, ""},
        LocationCase{"LastOfTwo", {"a.hex", "b.hex"}, "b.hex", true},
        LocationCase{"EndingInAnyCase", {"FW.HEX"}, "FW.HEX"},
        LocationCase{"OrderIgnoresCase", {"B.hex", "a.hex"}, "B.hex", true},
        // An NTFS index compares upper-cased names: '_' sorts after letters.
        LocationCase{"OrderFoldsToUpperCase", {"_z.hex", "a.hex"}, "_z.hex", true},
        LocationCase{
            "OtherEndingsDoNotMatch", {"a.hexx", "hex", "a.hex.bak", "ahex", "b.he"}, "", true},
        LocationCase{"FolderNotNamedHexIsNotWalked", {"fw/x.hex"}, ""},
        LocationCase{"FolderNamedHexIsWalked",
                     {"a.hex", "old.hex/y.hex", "old.hex/fw/q.hex"},
                     "old.hex/y.hex",
                     true},
        LocationCase{"FileAfterTheFolderWins", {"a.hex", "old.hex/y.hex", "z.hex"}, "z.hex", true},
        LocationCase{"EmptyMatchingFolder", {"a.hex", "empty.hex/"}, "a.hex"},
        LocationCase{
            "NestedMatchingFolders", {"old.hex/new.hex/deep.hex"}, "old.hex/new.hex/deep.hex"}),
    [](const testing::TestParamInfo<LocationCase>& info) { return std::string(info.param.name); });

// /proc/self/exe or GetModuleFileNameW: the test program's own file.
TEST(FindHexFile, ProgramPathIsThisProgram) {
  const fs::path self(ProgramPath());
  EXPECT_TRUE(self.is_absolute()) << self;
  EXPECT_TRUE(fs::is_regular_file(self)) << self;
  EXPECT_EQ(self.stem(), "image_tests");
}

// A Linux file name is bytes: one that is not UTF-8 still reaches the field
// as a path that opens the same file again.
TEST(FindHexFile, NameThatIsNotUtf8OpensAgain) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows file names are UTF-16";
#else
  TempDir dir;
  dir.Write("kbupdate", "program");
  dir.Write("fw\xff\xc3.hex", ":0100000042BD\n");
  const std::wstring field = FindHexFileFor((dir.path() / "kbupdate").wstring()).FieldText();
  ASSERT_NE(field, kNoFindHexFile);
  std::vector<std::uint8_t> image(kImageSize, 0);
  EXPECT_EQ(HexToBin(field, image.data()).status, kHexToBinRead);
  EXPECT_EQ(image[0], 0x42);
#endif
}

// A listing pattern of 260 characters or more cannot be listed on Windows;
// elsewhere long paths are walked like any other.
TEST(FindHexFile, PatternOf260CharactersOrMore) {
  TempDir dir;
  dir.Write("kbupdate", "program");
  std::string deep;
  while ((dir.path() / deep).wstring().size() < 300) deep += std::string(40, 'd') + ".hex/";
  std::error_code ec;
  fs::create_directories(dir.path() / deep, ec);
  if (ec) GTEST_SKIP() << "this file system refuses long paths: " << ec.message();
  std::ofstream(dir.path() / deep / "deep.hex") << ":00000001FF\n";
  const std::wstring field = FindHexFileFor((dir.path() / "kbupdate").wstring()).FieldText();
#ifdef _WIN32
  EXPECT_EQ(field, kNoFindHexFile);
#else
  EXPECT_EQ(field, (dir.path() / deep / "deep.hex").wstring());
#endif
}

TEST(FindHexFile, ProgramPathWithoutSeparator) {
  const std::wstring field = FindHexFileFor(L"kbupdate").FieldText();
  EXPECT_EQ(field, kNoFindHexFile);
  EXPECT_TRUE(SearchHexFiles(L"").empty());
}

// Links named *.hex that lead back into the program's folder or its parent
// end the walk, and a folder reached again is not listed twice.
TEST(FindHexFile, LinksBackIntoTheTree) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links need a privilege on Windows";
#else
  TempDir dir;
  const fs::path root = dir.path() / "app";
  fs::create_directories(root / "sub.hex");
  dir.Write("app/kbupdate", "program");
  dir.Write("app/a.hex", "");
  dir.Write("app/sub.hex/m.hex", "");
  fs::create_directory_symlink(root, root / "loop.hex");
  fs::create_directory_symlink(root, root / "sub.hex" / "up.hex");
  fs::create_directory_symlink(dir.path(), root / "sub.hex" / "parent.hex");
  const std::wstring field = FindHexFileFor((root / "kbupdate").wstring()).FieldText();
  // Order a.hex, loop.hex (already walked), sub.hex: m.hex, parent.hex
  // (holds no match), up.hex (already walked).
  EXPECT_EQ(field, (root / "sub.hex" / "m.hex").wstring());
#endif
}

}  // namespace
}  // namespace kbt
