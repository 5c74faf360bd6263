#include "image/hex_writer.h"

#include <algorithm>

#include "image/firmware_image.h"

namespace kbt {
namespace {

constexpr std::size_t kRecordBytes = 16;
constexpr char kDigits[] = "0123456789ABCDEF";

void AppendByte(std::string& out, std::uint8_t value) {
  out += kDigits[value >> 4];
  out += kDigits[value & 0x0F];
}

}  // namespace

std::string ImageToHex(std::span<const std::uint8_t> image) {
  const std::size_t size = std::min(image.size(), kImageSize);
  std::string out;
  // ":" + count, address, type, 16 data bytes, checksum as hex + line feed.
  out.reserve((size / kRecordBytes + 1) * (1 + 2 * (4 + kRecordBytes + 1) + 1) + 12);
  for (std::size_t address = 0; address < size; address += kRecordBytes) {
    const std::size_t count = std::min(kRecordBytes, size - address);
    const std::uint8_t fields[4] = {static_cast<std::uint8_t>(count),
                                    static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address & 0xFF), 0x00};
    unsigned sum = 0;
    out += ':';
    for (std::uint8_t f : fields) {
      AppendByte(out, f);
      sum += f;
    }
    for (std::size_t i = 0; i < count; ++i) {
      AppendByte(out, image[address + i]);
      sum += image[address + i];
    }
    // The two's complement of the sum of every byte of the record.
    AppendByte(out, static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
    out += '\n';
  }
  out += ":00000001FF\n";
  return out;
}

bool TriggersStartByteExchange(std::span<const std::uint8_t> image) {
  return image.size() > 2 && image[1] == 0x38 && image[2] == 0x00;
}

ImageDifference CompareImages(std::span<const std::uint8_t> expected,
                              std::span<const std::uint8_t> actual) {
  ImageDifference d;
  const std::size_t size = std::min(expected.size(), actual.size());
  for (std::size_t i = 0; i < size; ++i) {
    if (expected[i] == actual[i]) continue;
    if (d.count++ == 0) {
      d.first = i;
      d.expected = expected[i];
      d.actual = actual[i];
    }
  }
  return d;
}

}  // namespace kbt
