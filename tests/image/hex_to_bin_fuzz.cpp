// libFuzzer target: any bytes as a HEX file. The conversion runs over the
// bytes (after the first, which picks the reader's read size, so that line
// ends fall across read boundaries) and must agree byte for byte with a
// plain model of the reader (hex_reader_model.cpp). The sanitizers watch for
// reads past a buffer and stores outside the Work buffer.
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
#include "tests/image/hex_reader_model.h"

namespace {

constexpr std::uint8_t kUntouched = 0xEE;

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
  const std::vector<std::uint8_t> work = kbt::model::ReadWork(text, imageEnd);
  const std::vector<std::uint8_t> marked = kbt::model::ImageOver(work, imageEnd, kUntouched, exchanged);
  ConvertAndCompare(text, readSize, kUntouched, marked, imageEnd, exchanged);
  const std::vector<std::uint8_t> image = kbt::model::ImageOver(work, imageEnd, 0, exchanged);

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
