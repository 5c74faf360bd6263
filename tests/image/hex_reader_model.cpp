// A plain model of the HEX reader. Built without coverage instrumentation
// or sanitizers: the fuzzer steers by the product's branches, not by the
// model's, and watches the product's memory.
#include "tests/image/hex_reader_model.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "image/firmware_image.h"

namespace kbt::model {

namespace {

long ModelField(const char (&buf)[256], int pos, int width) {
  char copy[5] = {};
  for (int i = 0; i < width; ++i) copy[i] = pos + i < 256 ? buf[pos + i] : '\0';
  return std::strtol(copy, nullptr, 16);
}

}  // namespace

std::vector<std::uint8_t> ReadWork(const std::string& raw, long& imageEnd) {
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  std::vector<std::uint8_t> work(kbt::kImageSize, 0);
  imageEnd = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    // Up to and including a line feed, at most 255 characters.
    std::size_t n = 0;
    while (n < 255 && at + n < text.size()) {
      if (text[at + n++] == '\n') break;
    }
    char buf[256] = {};
    std::memcpy(buf, text.data() + at, n);
    at += n;
    if (n == 12 && std::memcmp(buf, ":00000001FF\n", 12) == 0) break;
    const long count = ModelField(buf, 1, 2);
    long address = ModelField(buf, 3, 4);
    if (address < 0) continue;
    for (long j = 0; j < count; ++j) {
      if (address >= static_cast<long>(kbt::kImageSize)) break;
      work[static_cast<std::size_t>(address)] =
          static_cast<std::uint8_t>(ModelField(buf, 9 + 2 * static_cast<int>(j), 2) & 0xFF);
      ++address;
      imageEnd = std::max(imageEnd, address);
    }
  }
  return work;
}

std::vector<std::uint8_t> ImageOver(const std::vector<std::uint8_t>& work, long imageEnd,
                                    std::uint8_t fill, bool& exchanged) {
  std::vector<std::uint8_t> image(kbt::kImageSize, fill);
  std::copy_n(work.begin(), imageEnd, image.begin());
  exchanged = image[1] == 0x38 && image[2] == 0x00;
  if (exchanged) {
    for (std::size_t i = 0; i < 3; ++i) {
      image[i] = work[0x37FB + i];
      image[0x37FB + i] = 0;
    }
  }
  return image;
}

}  // namespace kbt::model
