// Writing an image back out as Intel HEX, comparing images, and output files
// that appear only complete.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "image/atomic_file.h"
#include "image/firmware_image.h"
#include "image/hex_inspect.h"
#include "image/hex_to_bin.h"
#include "image/hex_writer.h"
#include "image_test_util.h"

namespace kbt::test {
namespace {

using Image = std::vector<std::uint8_t>;

Image Filled(std::uint8_t value) {
  return Image(kImageSize, value);
}

Image Random(unsigned seed) {
  std::mt19937 rng(seed);
  Image image(kImageSize);
  for (auto& b : image) b = static_cast<std::uint8_t>(rng());
  if (TriggersStartByteExchange(image)) image[2] = 0x01;
  return image;
}

Image Convert(const std::string& text) {
  Image image(kImageSize, 0);
  MemoryByteSource source(std::span(text.data(), text.size()));
  EXPECT_TRUE(HexToBin(source, image.data()).Read());
  return image;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(HexWriter, RecordLayoutAndChecksums) {
  Image image = Filled(0);
  image[0] = 0x02;
  image[0x37FF] = 0xAA;
  const std::string text = ImageToHex(image);
  EXPECT_EQ(text.substr(0, 44), ":1000000002000000000000000000000000000000EE\n");
  // The last data record and the end record.
  EXPECT_EQ(text.substr(text.size() - 56),
            ":1037F000000000000000000000000000000000AA1F\n:00000001FF\n");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 897);  // 896 records + end
}

// Each image goes out as text and comes back through the converter and
// through a strict reading: no finding, the same bytes.
TEST(HexWriter, RoundTripThroughTheConverter) {
  const struct {
    const char* name;
    Image image;
  } cases[] = {{"all zero", Filled(0x00)}, {"all 0xFF", Filled(0xFF)}, {"random", Random(7)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = ImageToHex(c.image);
    EXPECT_FALSE(TriggersStartByteExchange(c.image));
    EXPECT_EQ(Convert(text), c.image);

    MemoryByteSource source(std::span(text.data(), text.size()));
    const HexInspection in = InspectSource(source);
    EXPECT_EQ(in.recordsByType[0], 896);
    EXPECT_TRUE(in.badChecksumLines.empty());
    EXPECT_TRUE(in.notHexLines.empty());
    EXPECT_TRUE(in.overlaps.empty());
    EXPECT_TRUE(in.droppedData.empty());
    EXPECT_TRUE(in.inexactEndLines.empty());
    EXPECT_EQ(in.endRecordLine, 897);
    EXPECT_EQ(in.linesAfterEnd, 0);
    EXPECT_EQ(in.imageEnd, static_cast<long>(kImageSize));
    EXPECT_FALSE(in.startByteExchange);
  }
}

// Bytes 1-2 reading 38 00 are what the converter's Start-byte exchange looks
// for: such an image cannot come back unchanged, which is why a dump warns.
TEST(HexWriter, StartByteExchangeImageDoesNotComeBackUnchanged) {
  Image image = Random(11);
  image[0] = 0x02;
  image[1] = 0x38;
  image[2] = 0x00;
  ASSERT_TRUE(TriggersStartByteExchange(image));
  const Image back = Convert(ImageToHex(image));
  EXPECT_NE(back, image);
  EXPECT_EQ(back[0], image[0x37FB]);
  EXPECT_EQ(back[0x37FB], 0x00);
}

// A second, independent reader of Intel HEX agrees on the bytes.
TEST(HexWriter, ObjcopyReadsTheSameBytes) {
  if (std::system("objcopy --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "objcopy not installed (binutils)";
  TempDir dir;
  const Image image = Random(3);
  const auto hex = dir.Write("dump.hex", ImageToHex(image));
  const auto bin = dir.path() / "dump.bin";
  const std::string command =
      "objcopy -I ihex -O binary '" + hex.string() + "' '" + bin.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::string bytes = ReadAll(bin);
  EXPECT_EQ(Image(bytes.begin(), bytes.end()), image);
}

TEST(CompareImages, FirstDifferenceAndCount) {
  const Image base = Random(5);
  const struct {
    const char* name;
    std::vector<std::size_t> changed;
  } cases[] = {{"equal", {}},
               {"first byte", {0}},
               {"middle byte", {0x1C00}},
               {"last byte", {0x37FF}},
               {"three bytes", {0x0800, 0x0010, 0x37FF}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Image other = base;
    for (std::size_t at : c.changed) other[at] ^= 0x5A;
    const ImageDifference d = CompareImages(base, other);
    EXPECT_EQ(d.count, c.changed.size());
    if (c.changed.empty()) continue;
    const std::size_t first = *std::min_element(c.changed.begin(), c.changed.end());
    EXPECT_EQ(d.first, first);
    EXPECT_EQ(d.expected, base[first]);
    EXPECT_EQ(d.actual, other[first]);
  }
}

TEST(AtomicFile, AppearsOnlyOnCommit) {
  TempDir dir;
  const auto target = dir.path() / "out.hex";
  std::string error;
  {
    AtomicFile file;
    ASSERT_TRUE(file.Create(target.wstring(), error)) << error;
    ASSERT_TRUE(file.Write(std::string("new"), error)) << error;
    EXPECT_FALSE(std::filesystem::exists(target));
    ASSERT_TRUE(file.Commit(error)) << error;
  }
  EXPECT_EQ(ReadAll(target), "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// A write given up at any point (a failed dump, an interrupt) leaves the
// existing file as it was and no temporary file.
TEST(AtomicFile, DiscardedWriteLeavesTheExistingFile) {
  TempDir dir;
  const auto target = dir.Write("out.hex", "old");
  std::string error;
  {
    AtomicFile file;
    ASSERT_TRUE(file.Create(target.wstring(), error)) << error;
    ASSERT_TRUE(file.Write(std::string("half"), error)) << error;
  }
  EXPECT_EQ(ReadAll(target), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(AtomicFile, MissingFolderSaysWhy) {
  TempDir dir;
  AtomicFile file;
  std::string error;
  EXPECT_FALSE(file.Create((dir.path() / "no" / "out.hex").wstring(), error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace kbt::test
