// Report descriptor parser over real descriptors and over the malformed
// shapes a device or a damaged sysfs read can hand us. Descriptors are written
// as hex text so that they can be compared with a dump (hid-decode, usbhid-dump).
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "device/report_descriptor.h"

namespace kbt {
namespace {

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) bytes.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return bytes;
}

struct GoodCase {
  const char* name;
  const char* hex;
  std::uint16_t usagePage;
  std::uint16_t usage;
  std::uint16_t featureLength;
  bool reportIds;
  int collections;
};

// Boot keyboard and boot mouse from the HID 1.11 appendices; the consumer
// control interface of a common keyboard; the update-mode device's two
// interfaces and the normal-mode vendor interface as our simulator presents
// them; a vendor interface without report IDs (Windows still counts the ID
// byte).
const GoodCase kGood[] = {
    {"BootKeyboard",
     "05 01 09 06 A1 01 05 07 19 E0 29 E7 15 00 25 01 75 01 95 08 81 02 95 01 75 08 81 01"
     " 95 05 75 01 05 08 19 01 29 05 91 02 95 01 75 03 91 01 95 06 75 08 15 00 25 65"
     " 05 07 19 00 29 65 81 00 C0",
     0x0001, 0x0006, 0, false, 1},
    {"BootMouse",
     "05 01 09 02 A1 01 09 01 A1 00 05 09 19 01 29 03 15 00 25 01 95 03 75 01 81 02"
     " 95 01 75 05 81 01 05 01 09 30 09 31 15 81 25 7F 75 08 95 02 81 06 C0 C0",
     0x0001, 0x0002, 0, false, 1},
    {"ConsumerControl",
     "05 0C 09 01 A1 01 85 03 15 00 26 FF 03 19 00 2A FF 03 75 10 95 01 81 00 C0", 0x000C, 0x0001,
     0, true, 1},
    {"VendorReportIds5And6",
     "06 00 FF 09 01 A1 01 85 05 09 01 15 00 26 FF 00 75 08 95 05 B1 02"
     " 85 06 09 02 96 01 08 B1 02 C0",
     0xFF00, 0x0001, 2050, true, 1},
    {"UpdateModeData", "06 00 FF 09 02 A1 01 85 06 09 02 15 00 26 FF 00 75 08 96 01 08 B1 02 C0",
     0xFF00, 0x0002, 2050, true, 1},
    {"UpdateModeCommand", "06 00 FF 09 01 A1 01 85 05 09 01 15 00 26 FF 00 75 08 95 05 B1 02 C0",
     0xFF00, 0x0001, 6, true, 1},
    {"VendorNoReportIds", "06 00 FF 09 01 A1 01 15 00 26 FF 00 75 08 95 40 B1 02 C0", 0xFF00,
     0x0001, 65, false, 1},
    // Features of report ID 2 in two items add up; ID 1 is shorter.
    {"FeatureItemsAddUpPerId",
     "06 00 FF 09 01 A1 01 85 01 75 08 95 03 B1 02 85 02 95 04 B1 02 95 04 B1 02 C0", 0xFF00,
     0x0001, 9, true, 1},
    // 3 + 1 bits round up to one byte, plus the ID byte.
    {"BitsRoundUp", "06 00 FF 09 01 A1 01 75 03 95 01 B1 02 75 01 B1 03 C0", 0xFF00, 0x0001, 2,
     false, 1},
    // Push keeps report size 8 across a Pop; the 1-bit items in between
    // belong to the same report.
    {"PushPop", "06 00 FF 09 01 A1 01 75 08 95 04 A4 75 01 95 08 B1 02 B4 B1 02 C0", 0xFF00, 0x0001,
     6, false, 1},
    // A long item (tag 0x10, 3 data bytes) is skipped whole.
    {"LongItemSkipped", "FE 03 10 B1 B1 B1 06 00 FF 09 01 A1 01 75 08 95 05 B1 02 C0", 0xFF00,
     0x0001, 6, false, 1},
    // A 4-byte usage names its own page.
    {"ExtendedUsage", "05 01 0B 01 00 0C 00 A1 01 75 08 95 02 B1 02 C0", 0x000C, 0x0001, 3, false,
     1},
    // Two top-level collections: the first one's page; features of both count.
    {"TwoCollections",
     "05 01 09 06 A1 01 85 01 75 08 95 08 81 02 C0 06 00 FF 09 01 A1 01 85 02 95 10 B1 02 C0",
     0x0001, 0x0006, 17, true, 2},
    // The usage page may change inside the collection; the collection's own
    // page is the one in effect at the Collection item.
    {"PageChangesInside", "06 00 FF 09 01 A1 01 05 01 09 30 75 08 95 05 B1 02 C0", 0xFF00, 0x0001,
     6, false, 1},
    // Output and input reports do not count as feature reports.
    {"InputOutputOnly", "06 00 FF 09 01 A1 01 75 08 95 40 81 02 91 02 C0", 0xFF00, 0x0001, 0, false,
     1},
    {"Empty", "", 0, 0, 0, false, 0},
};

class GoodDescriptor : public ::testing::TestWithParam<GoodCase> {};

TEST_P(GoodDescriptor, GivesPageAndFeatureLength) {
  const GoodCase& c = GetParam();
  const auto bytes = Hex(c.hex);
  const ReportDescriptorInfo info = ParseReportDescriptor(bytes);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.usagePage, c.usagePage);
  EXPECT_EQ(info.usage, c.usage);
  EXPECT_EQ(info.featureReportLength, c.featureLength);
  EXPECT_EQ(info.usesReportIds, c.reportIds);
  EXPECT_EQ(info.topLevelCollections, c.collections);
}

INSTANTIATE_TEST_SUITE_P(Table, GoodDescriptor, ::testing::ValuesIn(kGood),
                         [](const auto& p) { return std::string(p.param.name); });

struct BadCase {
  const char* name;
  const char* hex;
};

const BadCase kBad[] = {
    {"ItemDataCutShort", "06 00"},
    {"FourByteItemCutShort", "06 00 FF 09 01 A1 01 27 FF FF"},
    {"LongItemHeaderCutShort", "FE 05"},
    {"LongItemDataCutShort", "FE 05 10 01 02"},
    {"PopWithoutPush", "06 00 FF B4"},
    {"EndCollectionWithoutCollection", "C0"},
    {"CollectionNotClosed", "06 00 FF 09 01 A1 01 75 08 95 05 B1 02"},
    {"ReportIdZero", "06 00 FF 09 01 A1 01 85 00 C0"},
    {"ReportIdAbove255", "06 00 FF 09 01 A1 01 86 00 01 C0"},
    // 0xFFFFFFFF items of 0xFFFFFFFF bits: must neither overflow nor pass.
    {"FeatureTooLong", "06 00 FF 09 01 A1 01 77 FF FF FF FF 97 FF FF FF FF B1 02 B1 02 C0"},
};

class BadDescriptor : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadDescriptor, IsRejectedWithAReason) {
  const auto bytes = Hex(GetParam().hex);
  const ReportDescriptorInfo info = ParseReportDescriptor(bytes);
  EXPECT_FALSE(info.ok);
  EXPECT_NE(info.error.find("report descriptor"), std::string::npos) << info.error;
}

INSTANTIATE_TEST_SUITE_P(Table, BadDescriptor, ::testing::ValuesIn(kBad),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ReportDescriptor, PushDepthIsBounded) {
  std::vector<std::uint8_t> bytes(10000, 0xA4);  // Push, Push, ...
  const ReportDescriptorInfo info = ParseReportDescriptor(bytes);
  EXPECT_FALSE(info.ok);
}

TEST(ReportDescriptor, ReadsNothingPastTheSpan) {
  // The parser gets a span that ends inside a larger buffer: the bytes
  // behind it (a complete 4-byte item) must not be taken as item data.
  const auto whole = Hex("06 00 FF 09 01 A1 01 75 08 95 05 B1 02 C0 27 01 00 00 00");
  const std::span<const std::uint8_t> cut(whole.data(), whole.size() - 4);
  EXPECT_FALSE(ParseReportDescriptor(cut).ok);
  const std::span<const std::uint8_t> exact(whole.data(), 14);
  const ReportDescriptorInfo info = ParseReportDescriptor(exact);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.featureReportLength, 6);
}

}  // namespace
}  // namespace kbt
