// libFuzzer target: any bytes as a HEX file. The conversion runs over the
// bytes (after the first, which picks the reader's read size, so that line
// ends fall across read boundaries) and must agree byte for byte with a
// plain model of the reader written the obvious way: the whole text, its
// carriage returns before line feeds removed, cut into pieces of 255, each
// copied into a zeroed 256-byte buffer, every field through strtol on its
// own copy. The sanitizers watch for reads past a buffer and stores outside
// the Work buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "image/firmware_signature.h"
#include "image/hex_inspect.h"
#include "image/hex_records.h"

namespace {

constexpr std::uint8_t kUntouched = 0xEE;

long ModelField(const char (&buf)[256], int pos, int width) {
  char copy[5] = {};
  for (int i = 0; i < width; ++i) copy[i] = pos + i < 256 ? buf[pos + i] : '\0';
  return std::strtol(copy, nullptr, 16);
}

// The model's reading: the Work buffer and the image end.
std::vector<std::uint8_t> ModelRead(const std::string& raw, long& imageEnd) {
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

// The image the model's reading gives over a fill of `fill`.
std::vector<std::uint8_t> ModelImage(const std::vector<std::uint8_t>& work, long imageEnd,
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

// Converts `text` from memory over an image prefilled with `fill` and
// checks it against the model's image for the same fill.
void ConvertAndCompare(const std::string& text, std::size_t readSize, std::uint8_t fill,
                       const std::vector<std::uint8_t>& expected, long modelEnd,
                       bool modelExchanged) {
  kbt::MemoryByteSource source(text);
  std::vector<std::uint8_t> image(kbt::kImageSize, fill);
  long imageEnd = -1;
  bool exchanged = false;
  if (!kbt::hex::Convert(source, image.data(), &imageEnd, &exchanged, readSize)) std::abort();
  if (imageEnd != modelEnd || exchanged != modelExchanged || image != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t readSize = 2 + data[0] % 64;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  // A marker in the image shows every byte the conversion writes (nothing
  // past the image end but the exchange); the zero-filled image, which the
  // callers give it, is the model's with the marker as zero.
  long imageEnd = 0;
  bool exchanged = false;
  const std::vector<std::uint8_t> work = ModelRead(text, imageEnd);
  const std::vector<std::uint8_t> marked = ModelImage(work, imageEnd, kUntouched, exchanged);
  ConvertAndCompare(text, readSize, kUntouched, marked, imageEnd, exchanged);
  const std::vector<std::uint8_t> image = ModelImage(work, imageEnd, 0, exchanged);

  // The inspection reads the same pieces through the same rules: it must
  // come to the same image.
  kbt::MemoryByteSource source(text);
  const kbt::HexInspection r = kbt::InspectSource(source, readSize);
  if (r.readFailed || r.imageEnd != imageEnd || r.startByteExchange != exchanged ||
      r.signatureOffset != kbt::FirmwareSignatureOffset(image.data())) {
    std::abort();
  }
  return 0;
}
