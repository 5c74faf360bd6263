// FindFirmwareSignature: 30 bytes of UTF-16LE text at any start offset
// below 14306; and the demo firmware that the main job flashes.
#include "image/firmware_signature.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "image/hex_to_bin.h"
#include "image_test_util.h"

namespace kbt {
namespace {

std::vector<std::uint8_t> Utf16(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  for (const char c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

struct SignatureCase {
  const char* name;
  std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> placed;
  std::optional<std::size_t> offset;
};

class SignatureTest : public testing::TestWithParam<SignatureCase> {};

TEST_P(SignatureTest, FirstOffsetOrNotFound) {
  std::vector<std::uint8_t> image(kImageSize, 0);
  for (const auto& [at, bytes] : GetParam().placed)
    std::memcpy(image.data() + at, bytes.data(), bytes.size());
  EXPECT_EQ(FirmwareSignatureOffset(image.data()), GetParam().offset);
  EXPECT_EQ(FindFirmwareSignature(image.data()), GetParam().offset.has_value());
}

const auto kSig = Utf16("KORVANE CO.,LTD");
const std::vector<std::uint8_t> kNarrow = {'K', 'O', 'R', 'V', 'A', 'N', 'E', ' ',
                                           'C', 'O', '.', ',', 'L', 'T', 'D'};

INSTANTIATE_TEST_SUITE_P(
    FindFirmwareSignature, SignatureTest,
    testing::Values(
        SignatureCase{"AllZero", {}, std::nullopt}, SignatureCase{"AtOffset0", {{0, kSig}}, 0},
        SignatureCase{"OddOffset", {{0x1233, kSig}}, 0x1233},
        SignatureCase{"LastStartOffset14305", {{14305, kSig}}, 14305},
        SignatureCase{"Offset14306TouchesTheLastByte", {{14306, kSig}}, std::nullopt},
        SignatureCase{"FirstOfTwoCopies", {{0x2000, kSig}, {0x1001, kSig}}, 0x1001},
        SignatureCase{"EightBitText", {{0x100, kNarrow}}, std::nullopt},
        SignatureCase{"LowerCaseLetter", {{0x100, Utf16("KORVANE CO.,LTd")}}, std::nullopt},
        SignatureCase{"HighBytesMustBeZero", {{0x100, kSig}, {0x101, {0x20}}}, std::nullopt},
        SignatureCase{"WithoutItsLastCodeUnit", {{0x100, Utf16("KORVANE CO.,LT")}}, std::nullopt}),
    [](const testing::TestParamInfo<SignatureCase>& info) { return std::string(info.param.name); });

// The file the main job flashes: converts, carries the signature well inside
// the image, jumps from its reset vector to its code (not to 0x3800, so no
// Start-byte exchange), and holds a few KiB of program.
TEST(DemoFirmware, ConvertsWithSignatureAndResetJump) {
  std::vector<std::uint8_t> image(kImageSize, 0);
  const std::wstring path = std::filesystem::path(KB_SOURCE_DIR "/res/demo/firmware.hex").wstring();
  ASSERT_EQ(HexToBin(path, image.data()).status, kHexToBinRead);
  const auto offset = FirmwareSignatureOffset(image.data());
  ASSERT_TRUE(offset.has_value());
  EXPECT_LT(*offset, 14306u);
  EXPECT_EQ(image[0], 0x02) << "LJMP at the reset vector";
  const unsigned target = image[1] << 8 | image[2];
  EXPECT_NE(target, 0x3800u);
  EXPECT_NE(image[target], 0) << "the reset jump lands on code";
  std::size_t used = 0;
  for (const std::uint8_t b : image) used += b != 0;
  EXPECT_GT(used, 2048u);
}

}  // namespace
}  // namespace kbt
