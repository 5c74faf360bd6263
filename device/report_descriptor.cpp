// Walks the items of a HID report descriptor once. Every read is checked
// against the end of the input first; a malformed descriptor ends the walk
// with an error and whatever was learnt up to there is not reported.
#include "device/report_descriptor.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

namespace kbt {
namespace {

// Item types and tags of the HID 1.11 short item prefix (tag << 4 | type << 2 | size).
enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

enum MainTag : std::uint8_t {
  kInput = 0x8,
  kOutput = 0x9,
  kFeature = 0xB,
  kCollection = 0xA,
  kEndCollection = 0xC,
};

enum GlobalTag : std::uint8_t {
  kUsagePage = 0x0,
  kReportSize = 0x7,
  kReportId = 0x8,
  kReportCount = 0x9,
  kPush = 0xA,
  kPop = 0xB,
};

enum LocalTag : std::uint8_t { kUsage = 0x0 };

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// Deeper pushes than any real descriptor needs; bounds the memory a hostile
// descriptor can make us take.
constexpr std::size_t kMaxPushDepth = 64;

// Caps the bit count of one report so that adding up items never overflows;
// anything this large is rejected below anyway.
constexpr std::uint64_t kBitCap = std::uint64_t{1} << 40;

struct GlobalState {
  std::uint32_t usagePage = 0;
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint8_t reportId = 0;
};

ReportDescriptorInfo Fail(std::size_t offset, const char* what) {
  ReportDescriptorInfo info;
  info.ok = false;
  info.error = "report descriptor, byte " + std::to_string(offset) + ": " + what;
  return info;
}

std::uint32_t LittleEndian(const std::uint8_t* data, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value |= std::uint32_t{data[i]} << (8 * i);
  return value;
}

}  // namespace

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> d) {
  ReportDescriptorInfo info;
  GlobalState global;
  std::vector<GlobalState> stack;
  std::array<std::uint64_t, 256> featureBits{};  // per report ID
  bool haveFeature = false;
  int depth = 0;
  bool haveUsage = false;
  std::uint32_t firstUsage = 0;
  std::size_t firstUsageSize = 0;

  std::size_t pos = 0;
  while (pos < d.size()) {
    const std::size_t itemStart = pos;
    const std::uint8_t prefix = d[pos++];

    if (prefix == kLongItemPrefix) {
      // Long item: data size, tag, then the data. No long item tags are
      // defined, so they are only skipped.
      if (d.size() - pos < 2) return Fail(itemStart, "long item cut short");
      const std::size_t size = d[pos];
      pos += 2;
      if (d.size() - pos < size) return Fail(itemStart, "long item data cut short");
      pos += size;
      continue;
    }

    static constexpr std::size_t kSizes[4] = {0, 1, 2, 4};
    const std::size_t size = kSizes[prefix & 0x3];
    const auto type = static_cast<std::uint8_t>((prefix >> 2) & 0x3);
    const auto tag = static_cast<std::uint8_t>(prefix >> 4);
    if (d.size() - pos < size) return Fail(itemStart, "item data cut short");
    const std::uint32_t value = LittleEndian(d.data() + pos, size);
    pos += size;

    switch (type) {
      case kMain:
        switch (tag) {
          case kCollection:
            if (depth == 0) {
              if (info.topLevelCollections == 0) {
                // A 4-byte usage carries its own page in the high half;
                // a shorter one takes the page in effect now.
                const bool extended = haveUsage && firstUsageSize == 4;
                info.usagePage =
                    static_cast<std::uint16_t>(extended ? firstUsage >> 16 : global.usagePage);
                info.usage = static_cast<std::uint16_t>(haveUsage ? firstUsage & 0xFFFF : 0);
              }
              ++info.topLevelCollections;
            }
            ++depth;
            break;
          case kEndCollection:
            if (depth == 0) return Fail(itemStart, "End Collection without Collection");
            --depth;
            break;
          case kFeature: {
            const std::uint64_t bits = std::min<std::uint64_t>(
                std::uint64_t{global.reportSize} * global.reportCount, kBitCap);
            std::uint64_t& total = featureBits[global.reportId];
            total = std::min(total + bits, kBitCap);
            haveFeature = haveFeature || bits > 0;
            break;
          }
          case kInput:
          case kOutput:
          default:
            break;
        }
        // Local items apply to the next main item only.
        haveUsage = false;
        break;

      case kGlobal:
        switch (tag) {
          case kUsagePage:
            global.usagePage = value;
            break;
          case kReportSize:
            global.reportSize = value;
            break;
          case kReportCount:
            global.reportCount = value;
            break;
          case kReportId:
            if (value == 0 || value > 0xFF) return Fail(itemStart, "invalid report ID");
            global.reportId = static_cast<std::uint8_t>(value);
            info.usesReportIds = true;
            break;
          case kPush:
            if (stack.size() >= kMaxPushDepth) return Fail(itemStart, "Push nested too deep");
            stack.push_back(global);
            break;
          case kPop:
            if (stack.empty()) return Fail(itemStart, "Pop without Push");
            global = stack.back();
            stack.pop_back();
            break;
          default:
            break;
        }
        break;

      case kLocal:
        if (tag == kUsage && !haveUsage) {
          haveUsage = true;
          firstUsage = value;
          firstUsageSize = size;
        }
        break;

      case kReserved:
      default:
        break;
    }
  }

  if (depth != 0) return Fail(d.size(), "Collection not closed");

  if (haveFeature) {
    const std::uint64_t longest = *std::max_element(featureBits.begin(), featureBits.end());
    const std::uint64_t bytes = (longest + 7) / 8 + 1;
    if (bytes > 0xFFFF) return Fail(d.size(), "feature report too long");
    info.featureReportLength = static_cast<std::uint16_t>(bytes);
  }
  info.ok = true;
  return info;
}

}  // namespace kbt
