#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kbt {

// True when the 30-byte UTF-16LE text "KORVANE CO.,LTD" starts at one of the
// offsets 0..14305 of the kImageSize-byte image.
bool FindFirmwareSignature(const std::uint8_t* image);

// The first offset where it starts, for reports (the command line).
std::optional<std::size_t> FirmwareSignatureOffset(const std::uint8_t* image);

}  // namespace kbt
