// InspectHexFile: the warnings `kbupdate inspect` prints, over one file that
// holds one of each finding.
#include "image/hex_inspect.h"

#include <gtest/gtest.h>

#include <string>

#include "image_test_util.h"

namespace kbt {
namespace {

TEST(InspectHexFile, ReportsWhatTheConverterPassesOver) {
  const std::string file =
      ":0300000002380033\n"    // 1  data, exchange trigger; wrong checksum
      ":020000040001F9\n"      // 2  extended linear address: stored as data
      ":040010001122334442\n"  // 3  data
      ":0200120099887F\n"      // 4  overlaps line 3 at 0x12..0x13; wrong checksum
      "#junk\n"                // 5  not Intel HEX
      "\n"                     // 6  blank
      ":0437FE00AABBCCDDXX\n"  // 7  2 bytes dropped at 0x3800; not Intel HEX
      ":03-00100AABBCC00\n"    // 8  negative address
      ":00000001ff\n"          // 9  inexact end record
      + std::string(300, '0') +
      "\n"               // 10 split line
      ":00000001FF\n"    // 11 the End record line
      ":0100000055AA\n"  // never read
      "\n";
  test::TempDir dir;
  const HexInspection r = InspectHexFile(dir.Write("i.hex", file).wstring());
  ASSERT_TRUE(r.opened);
  EXPECT_FALSE(r.readFailed);
  EXPECT_EQ(r.lines, 11);
  EXPECT_EQ(r.recordsByType[0], 3);
  EXPECT_EQ(r.recordsByType[1], 2);
  EXPECT_EQ(r.recordsByType[4], 1);
  EXPECT_EQ(r.blankLines, 1);
  EXPECT_EQ(r.badChecksumLines.first, (std::vector<long>{1, 4}));
  EXPECT_EQ(r.notHexLines.first, (std::vector<long>{5, 7, 8, 10}));
  EXPECT_EQ(r.splitLines.first, std::vector<long>{10});
  EXPECT_EQ(r.negativeAddressLines.first, std::vector<long>{8});
  EXPECT_EQ(r.addressRecordsStored.first, std::vector<long>{2});
  EXPECT_EQ(r.inexactEndLines.first, std::vector<long>{9});
  ASSERT_EQ(r.droppedData.count, 1);
  EXPECT_EQ(r.droppedBytes, 2);
  EXPECT_EQ(r.droppedData.first[0].line, 7);
  EXPECT_EQ(r.droppedData.first[0].address, 0x3800);
  EXPECT_EQ(r.droppedData.first[0].bytes, 2);
  ASSERT_EQ(r.overlaps.count, 2);
  EXPECT_EQ(r.overlaps.first[0].line, 2);  // the address record over line 1's bytes
  EXPECT_EQ(r.overlaps.first[1].line, 4);
  EXPECT_EQ(r.overlaps.first[1].earlierLine, 3);
  EXPECT_EQ(r.overlaps.first[1].address, 0x12);
  EXPECT_EQ(r.overlaps.first[1].bytes, 2);
  EXPECT_EQ(r.endRecordLine, 11);
  EXPECT_EQ(r.linesAfterEnd, 2);
  EXPECT_EQ(r.imageEnd, 0x3800);
  EXPECT_FALSE(r.startByteExchange);  // line 2 put 00 01 over 38 00
  EXPECT_FALSE(r.signatureOffset.has_value());
}

// Memory does not grow with the file: the first findings are kept, all are
// counted.
TEST(InspectHexFile, KeepsTheFirstFindingsAndCountsAll) {
  std::string file;
  for (int i = 0; i < 1500; ++i) file += ":01000000AA00\n";  // wrong checksum, all at address 0
  test::TempDir dir;
  const HexInspection r = InspectHexFile(dir.Write("many.hex", file).wstring());
  EXPECT_EQ(r.badChecksumLines.count, 1500);
  ASSERT_EQ(r.badChecksumLines.first.size(), Findings<long>::kKept);
  EXPECT_EQ(r.badChecksumLines.first.back(), 1000);
  EXPECT_EQ(r.overlaps.count, 1499);
  ASSERT_EQ(r.overlaps.first.size(), Findings<long>::kKept);
  EXPECT_EQ(r.overlaps.first.back().line, 1001);
  EXPECT_EQ(r.overlaps.first.back().bytes, 1);
}

// A record of 122 data bytes fills the 255 characters exactly; its line feed
// comes as a blank piece of its own, which stores nothing: no split to warn
// about. One more data byte splits the record.
TEST(InspectHexFile, SplitOnlyPast255Characters) {
  const std::string full = ":7A000000" + std::string(244, '1') + "00";  // 255 characters
  const std::string longer = ":7B000000" + std::string(246, '1') + "00";
  test::TempDir dir;
  const HexInspection r =
      InspectHexFile(dir.Write("s.hex", full + "\n" + longer + "\n" + longer).wstring());
  EXPECT_EQ(r.splitLines.first, (std::vector<long>{2, 3}));
  EXPECT_EQ(r.lines, 3);
}

TEST(InspectHexFile, CannotOpen) {
  test::TempDir dir;
  EXPECT_FALSE(InspectHexFile((dir.path() / "none.hex").wstring()).opened);
}

}  // namespace
}  // namespace kbt
