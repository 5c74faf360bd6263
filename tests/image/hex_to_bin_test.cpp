// HexToBin: the fixed-position reader, line pieces and line ends, the End
// record line, Image end, the 0x3800 limit and the Start-byte exchange.
#include "image/hex_to_bin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "image/firmware_image.h"
#include "image/hex_records.h"
#include "image_test_util.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace kbt {
namespace {

using test::TempDir;

// One record with its proper checksum, without line end.
std::string Rec(unsigned address, unsigned type, std::initializer_list<unsigned> data) {
  std::vector<unsigned> body = {static_cast<unsigned>(data.size()), address >> 8, address & 0xFF,
                                type};
  body.insert(body.end(), data);
  unsigned sum = 0;
  std::string text = ":";
  char hex[3];
  for (const unsigned b : body) {
    std::snprintf(hex, sizeof hex, "%02X", b & 0xFF);
    text += hex;
    sum += b;
  }
  std::snprintf(hex, sizeof hex, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return text + hex;
}

constexpr std::uint8_t kUntouched = 0xEE;  // what the test's caller left in the image

struct Region {
  std::size_t address;
  std::vector<std::uint8_t> bytes;
};

struct ConvertCase {
  const char* name;
  std::string file;
  long imageEnd;                // bytes below it are written (gaps as 0)
  std::vector<Region> regions;  // non-zero content below Image end
  bool exchange = false;        // bytes 0x37FB..0x37FD written as 0
};

class ConvertTest : public testing::TestWithParam<ConvertCase> {};

// The image is prefilled with a marker instead of the caller's zeros, so
// that every byte the conversion writes, and only those, shows.
TEST_P(ConvertTest, ImageHoldsExactlyTheStoredBytes) {
  const ConvertCase& c = GetParam();
  TempDir dir;
  const auto path = dir.Write("f.hex", c.file);
  std::vector<std::uint8_t> image(kImageSize, kUntouched);
  ASSERT_EQ(HexToBin(path.wstring(), image.data()).status, kHexToBinRead);

  std::vector<std::uint8_t> expected(kImageSize, kUntouched);
  std::fill_n(expected.begin(), c.imageEnd, 0);
  for (const Region& r : c.regions)
    std::copy(r.bytes.begin(), r.bytes.end(),
              expected.begin() + static_cast<std::ptrdiff_t>(r.address));
  if (c.exchange) std::fill_n(expected.begin() + 0x37FB, 3, 0);
  for (std::size_t i = 0; i < kImageSize; ++i) {
    ASSERT_EQ(image[i], expected[i]) << "first difference at 0x" << std::hex << i;
  }
}

const std::string kEnd = ":00000001FF\n";
const std::string kData30 = Rec(0x30, 0, {0x02, 0x33, 0x7A}) + "\n";
const std::string kLongLine =
    std::string(":02000000AA") + std::string(244, 'Z') + Rec(0x50, 0, {0xBB}) + "\n";
const std::string k122 = [] {
  std::string line = ":7A010000";
  for (int i = 0; i < 122; ++i) line += "5A";
  return line + "00\n";  // 11 + 244 = 255 characters before the line feed
}();

INSTANTIATE_TEST_SUITE_P(
    HexToBin, ConvertTest,
    testing::Values(
        ConvertCase{"EmptyFile", "", 0, {}}, ConvertCase{"OnlyEndRecord", kEnd, 0, {}},
        ConvertCase{"DataLine", kData30 + kEnd, 0x33, {{0x30, {0x02, 0x33, 0x7A}}}},
        ConvertCase{"NoEndRecordReadsToEndOfFile", kData30, 0x33, {{0x30, {0x02, 0x33, 0x7A}}}},
        ConvertCase{
            "CrLfLineEnds",
            Rec(0x30, 0, {0x02, 0x33, 0x7A}) + "\r\n:00000001FF\r\n" + Rec(0x40, 0, {1}) + "\r\n",
            0x33,
            {{0x30, {0x02, 0x33, 0x7A}}}},
        ConvertCase{"LowerCaseDigits", ":03001a00020a0b00\n", 0x1D, {{0x1A, {0x02, 0x0A, 0x0B}}}},
        ConvertCase{"NothingAfterEndRecordIsRead", kEnd + kData30, 0, {}},
        ConvertCase{"InexactEndRecordsAreDataLines",
                    ":00000001ff\n:00000001FF \n:00000001FF\r\r\n" + kData30 + ":00000001FF",
                    0x33,
                    {{0x30, {0x02, 0x33, 0x7A}}}},
        ConvertCase{"ChecksumAndTypeNotExamined",
                    ":0200100011229900\n?0200200033449900\n",
                    0x22,
                    {{0x10, {0x11, 0x22}}, {0x20, {0x33, 0x44}}}},
        ConvertCase{"AddressRecordsStoreTheirBytes",
                    Rec(0, 0, {0x02, 0x01, 0x00, 0x32}) + "\n" + Rec(0, 4, {0x00, 0x01}) + "\n" +
                        Rec(0x10, 0, {0xAA}) + "\n" + Rec(0, 5, {0x00, 0x00, 0x00, 0xCD}) + "\n",
                    0x11,
                    {{0, {0x00, 0x00, 0x00, 0xCD}}, {0x10, {0xAA}}}},
        ConvertCase{"LaterLineWinsWhereLinesOverlap",
                    Rec(0x100, 0, {1, 2, 3, 4}) + "\n" + Rec(0x102, 0, {9}) + "\n" +
                        Rec(0x80, 0, {7}) + "\n",
                    0x104,
                    {{0x80, {7}}, {0x100, {1, 2, 9, 4}}}},
        ConvertCase{"BytesFrom0x3800OnAreDropped",
                    Rec(0x37F8, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}) + "\n" +
                        Rec(0x4000, 0, {0x55}) + "\n",
                    0x3800,
                    {{0x37F8, {1, 2, 3, 4, 5, 6, 7, 8}}}},
        ConvertCase{"RecordOf122BytesFillsTheLineBuffer",
                    k122,
                    0x100 + 122,
                    {{0x100, std::vector<std::uint8_t>(122, 0x5A)}}},
        ConvertCase{
            "LongLineTailIsALineOfItsOwn", kLongLine, 0x51, {{0, {0xAA, 0}}, {0x50, {0xBB}}}},
        ConvertCase{"BlankAndShortLinesStoreNothing",
                    "\n\r\n:\n:0\n   \n" + kData30,
                    0x33,
                    {{0x30, {0x02, 0x33, 0x7A}}}},
        // Positions past the line read as the end of the field: the missing
        // bytes are 0, never characters of the longer line before.
        ConvertCase{"CountBeyondTheLineStoresZeros",
                    ":0400000011223344AA\n:04000000BB\n",
                    4,
                    {{0, {0xBB, 0, 0, 0}}}},
        ConvertCase{
            "CountBeyondTheLineBuffer",
            Rec(0xF0, 0, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}) + "\n:FF000000AABB\n",
            0x100,
            {{0, {0xAA, 0xBB}}, {0xFF, {1}}}},
        // A minus sign makes the address negative: the line is dropped, also
        // the bytes that would have reached address 0 and above.
        ConvertCase{"NegativeAddressDropsTheLine",
                    ":03-00100AABBCC00\n" + kData30,
                    0x33,
                    {{0x30, {0x02, 0x33, 0x7A}}}},
        ConvertCase{"FieldsFollowStrtol", ": 3+0x0---1-f 9\n", 3, {{0, {0xFF, 0xF1, 0x09}}}},
        ConvertCase{
            "StartByteExchange",
            Rec(0, 0, {0x02, 0x38, 0x00, 0x11}) + "\n" + Rec(0x37FB, 0, {0x02, 0x00, 0x80}) + "\n",
            0x37FE,
            {{0, {0x02, 0x00, 0x80, 0x11}}},
            true},
        ConvertCase{"StartByteExchangeAnyByte0NothingAtTheTop",
                    Rec(0, 0, {0xAB, 0x38, 0x00, 0x11}) + "\n",
                    4,
                    {{0, {0x00, 0x00, 0x00, 0x11}}},
                    true},
        ConvertCase{"NoExchangeFor3801",
                    Rec(0, 0, {0x02, 0x38, 0x01}) + "\n" + Rec(0x37FB, 0, {1, 2, 3}) + "\n",
                    0x37FE,
                    {{0, {0x02, 0x38, 0x01}}, {0x37FB, {1, 2, 3}}}},
        ConvertCase{"NoExchangeFor3900",
                    Rec(0, 0, {0x02, 0x39, 0x00}) + "\n" + Rec(0x37FB, 0, {1, 2, 3}) + "\n",
                    0x37FE,
                    {{0, {0x02, 0x39, 0x00}}, {0x37FB, {1, 2, 3}}}}),
    [](const testing::TestParamInfo<ConvertCase>& info) { return std::string(info.param.name); });

// The reader's 64 KiB buffer boundary must not change line ends: the End
// record's carriage return is the last byte of the first read, its line
// feed the first byte of the next.
TEST(HexToBinReader, CarriageReturnAtBufferBoundary) {
  constexpr std::size_t kFirstRead = 64 * 1024;
  std::string file;
  while (file.size() + 200 < kFirstRead) file += std::string(100, 'x') + "\r\n";
  file += std::string(kFirstRead - file.size() - 14, 'y') + "\r\n";
  file += ":00000001FF\r\n" + kData30;
  ASSERT_EQ(file[kFirstRead - 1], '\r');
  ASSERT_EQ(file[kFirstRead], '\n');

  TempDir dir;
  std::vector<std::uint8_t> image(kImageSize, 0);
  ASSERT_EQ(HexToBin(dir.Write("b.hex", file).wstring(), image.data()).status, kHexToBinRead);
  EXPECT_EQ(image[0x30], 0) << "the line after the End record was read";
}

// Where the reads end must not matter: the demo file with CR LF line ends
// and a split long line gives one image for every read size.
TEST(HexToBinReader, SameImageForEveryReadSize) {
  std::ifstream demo(KB_SOURCE_DIR "/res/demo/firmware.hex", std::ios::binary);
  std::string text;
  for (std::string line; std::getline(demo, line);) {
    if (line == ":00000001FF") text += kLongLine;
    text += line + "\r\n";
  }
  TempDir dir;
  const auto path = dir.Write("crlf.hex", text);
  std::vector<std::vector<std::uint8_t>> images;
  for (const std::size_t readSize : {2, 3, 7, 12, 255, 256, 4096, 65536}) {
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    ASSERT_NE(file, nullptr);
    images.emplace_back(kImageSize, 0);
    long imageEnd = 0;
    FileByteSource source(file);
    EXPECT_TRUE(hex::Convert(source, images.back().data(), &imageEnd, nullptr, readSize));
    std::fclose(file);
    EXPECT_EQ(imageEnd, 0x1372) << "read size " << readSize;
    EXPECT_EQ(images.back(), images.front()) << "read size " << readSize;
  }
  EXPECT_EQ(images.front()[0x50], 0xBB);  // the long line's tail piece
}

TEST(HexToBinReader, PiecesOf255Characters) {
  const std::string line = std::string(300, 'A') + "\r\n" + "B\r" + "C\n" + "\r";
  TempDir dir;
  std::FILE* file = std::fopen(dir.Write("p.hex", line).string().c_str(), "rb");
  ASSERT_NE(file, nullptr);
  FileByteSource source(file);
  hex::PieceReader reader(source);
  hex::LinePiece piece;
  std::vector<std::pair<std::string, bool>> pieces;
  while (reader.Next(piece))
    pieces.emplace_back(std::string(piece.text, piece.length), piece.endsLine);
  std::fclose(file);
  const std::vector<std::pair<std::string, bool>> expected = {{std::string(255, 'A'), false},
                                                              {std::string(45, 'A') + "\n", true},
                                                              {"B\rC\n", true},
                                                              {"\r", false}};
  EXPECT_EQ(pieces, expected);
}

// Every field is read as strtol(copy, nullptr, 16) reads its own copy.
TEST(HexToBinFields, AgreeWithStrtolOnEveryCombination) {
  const char alphabet[] = {'0', '7', '9',  'a',  'F',  'g',  'x', 'X', '+',
                           '-', ' ', '\t', '\n', '\r', '\v', ':', '\0'};
  hex::LinePiece piece;
  for (const char a : alphabet) {
    for (const char b : alphabet) {
      for (const char c : alphabet) {
        for (const char d : alphabet) {
          const char chars[4] = {a, b, c, d};
          std::memcpy(piece.text, chars, 4);
          piece.length = 4;
          for (const int width : {2, 4}) {
            char copy[5] = {};
            std::memcpy(copy, chars, static_cast<std::size_t>(width));
            const long fast = width == 2 ? hex::detail::FieldValueFast<2>(piece, 0)
                                         : hex::detail::FieldValueFast<4>(piece, 0);
            ASSERT_EQ(fast, std::strtol(copy, nullptr, 16))
                << "field \"" << std::string(copy, static_cast<std::size_t>(width)) << "\"";
          }
        }
      }
    }
  }
}

TEST(HexToBinErrors, PathThatCannotBeOpened) {
  TempDir dir;
  std::vector<std::wstring> paths = {(dir.path() / "missing.hex").wstring(), dir.path().wstring(),
                                     L""};
#ifndef _WIN32
  // Devices and FIFOs would never end or block: refused like a missing file.
  const auto fifo = dir.path() / "fifo.hex";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  paths.push_back(fifo.wstring());
  paths.push_back(L"/dev/zero");
#endif
  for (const std::wstring& path : paths) {
    std::vector<std::uint8_t> image(kImageSize, kUntouched);
    const HexToBinResult r = HexToBin(path, image.data());
    EXPECT_EQ(r.status, kHexToBinNotOpened);
    EXPECT_FALSE(r.reason.empty());
    EXPECT_EQ(image, std::vector<std::uint8_t>(kImageSize, kUntouched));
  }
}

// A read that fails part way must not pass for a whole file.
TEST(HexToBinErrors, ReadErrorIsNotSuccess) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a file whose reads fail; /proc/self/mem is Linux's";
#else
  // Opens as a regular file; reading at offset 0 (unmapped) fails with EIO.
  std::vector<std::uint8_t> image(kImageSize, kUntouched);
  const HexToBinResult r = HexToBin(L"/proc/self/mem", image.data());
  EXPECT_EQ(r.status, kHexToBinReadFailed);
  EXPECT_NE(r.reason.find("part way"), std::string::npos) << r.reason;
  EXPECT_EQ(image, std::vector<std::uint8_t>(kImageSize, kUntouched));
#endif
}

}  // namespace
}  // namespace kbt
