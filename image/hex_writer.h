// The other direction of the converter: a whole image as Intel HEX text, and
// the comparison of two images. Touches no file and no device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kbt {

// kImageSize bytes as Intel HEX: one type-00 record of 16 data bytes per
// line, 16-bit addresses 0x0000 to 0x37F0 in order, upper-case digits, then
// the end record ":00000001FF". Lines end in a bare line feed, which the
// converter's exact end-line comparison needs.
std::string ImageToHex(std::span<const std::uint8_t> image);

// True when image bytes 1 and 2 are 0x38 0x00: the converter's Start-byte
// exchange would then move bytes 0x37FB..0x37FD to the front when the file
// is converted back, so the file would not give this image again.
bool TriggersStartByteExchange(std::span<const std::uint8_t> image);

struct ImageDifference {
  std::size_t count = 0;  // differing bytes; 0 when the images are equal
  std::size_t first = 0;  // the lowest differing address
  std::uint8_t expected = 0;
  std::uint8_t actual = 0;
};
// Both spans hold kImageSize bytes.
ImageDifference CompareImages(std::span<const std::uint8_t> expected,
                              std::span<const std::uint8_t> actual);

}  // namespace kbt
