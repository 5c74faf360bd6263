// The maker's signature check: 30 bytes of UTF-16LE text at any offset
// below 14306, even or odd.
#include "image/firmware_signature.h"

#include <cstring>

#include "image/firmware_image.h"

namespace kbt {

namespace {

constexpr char kSignatureText[] = "KORVANE CO.,LTD";
constexpr std::size_t kSignatureChars = sizeof kSignatureText - 1;
constexpr std::size_t kSignatureBytes = 2 * kSignatureChars;
static_assert(kSignatureBytes == 30);

// Start offsets 0..14305: the last window ends at byte 14334, so byte 14335
// takes part in no comparison.
constexpr std::size_t kStartOffsets = 14306;
static_assert(kStartOffsets + kSignatureBytes - 1 < kImageSize);

struct Signature {
  std::uint8_t bytes[kSignatureBytes];
};

constexpr Signature MakeSignature() {
  Signature s{};
  for (std::size_t i = 0; i < kSignatureChars; ++i) {
    s.bytes[2 * i] = static_cast<std::uint8_t>(kSignatureText[i]);
    s.bytes[2 * i + 1] = 0;
  }
  return s;
}

constexpr Signature kSignature = MakeSignature();

}  // namespace

std::optional<std::size_t> FirmwareSignatureOffset(const std::uint8_t* image) {
  // memchr finds the candidates for the first byte; only those are compared.
  for (std::size_t i = 0; i < kStartOffsets;) {
    const void* hit = std::memchr(image + i, kSignature.bytes[0], kStartOffsets - i);
    if (!hit) break;
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - image);
    if (std::memcmp(image + i, kSignature.bytes, kSignatureBytes) == 0) return i;
    ++i;
  }
  return std::nullopt;
}

bool FindFirmwareSignature(const std::uint8_t* image) {
  return FirmwareSignatureOffset(image).has_value();
}

}  // namespace kbt
