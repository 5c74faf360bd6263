// The update protocol's reports, declared once: every Command report as its
// 6 bytes, the Data report's layout and the image geometry. Shared by the
// update run and the read path (dump, verify), so that both send exactly the
// same bytes for the same command.
//
// Image geometry: 7 blocks of 2048 bytes, each carried in bytes 2..2049 of
// one Data report. Windows (address and count) are 16 bits each, low byte
// first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "device/discovery_rules.h"
#include "image/firmware_image.h"

namespace kbt::protocol {

inline constexpr std::size_t kCommandLength = kCommandFeatureLength;
inline constexpr std::size_t kDataLength = kDataFeatureLength;
inline constexpr std::size_t kBlockSize = 2048;
inline constexpr std::size_t kBlockCount = 7;
static_assert(kBlockSize * kBlockCount == kImageSize);
static_assert(kDataLength == 2 + kBlockSize);

inline constexpr std::uint8_t kCommandId = 0x05;
inline constexpr std::uint8_t kDataId = 0x06;
inline constexpr std::uint8_t kWriteData = 0x77;
inline constexpr std::uint8_t kReadData = 0x72;

using CommandReport = std::array<std::uint8_t, kCommandLength>;
static_assert(sizeof(CommandReport) == 6);

inline constexpr CommandReport kBeginCommand{0x05, 0x45, 0x45, 0x45, 0x45, 0x45};
inline constexpr CommandReport kImageWriteWindow{0x05, 0x57, 0x00, 0x00, 0x00, 0x38};
inline constexpr CommandReport kImageReadWindow{0x05, 0x52, 0x00, 0x00, 0x00, 0x38};
inline constexpr CommandReport kInfoReadWindow{0x05, 0x52, 0x80, 0xFF, 0x08, 0x00};
inline constexpr CommandReport kInfoReadRequest{0x05, 0x72, 0x00, 0x00, 0x00, 0x00};
inline constexpr CommandReport kPrepareCommand{0x05, 0x65, 0xFF, 0x00, 0x00, 0x00};
inline constexpr CommandReport kInfoWriteWindow{0x05, 0x57, 0x80, 0xFF, 0x08, 0x00};
inline constexpr CommandReport kFinishCommand{0x05, 0x55, 0x55, 0x55, 0x55, 0x55};

inline constexpr std::size_t kInfoBlockSize = 8;

inline constexpr int kProgramAttempts = 5;
inline constexpr int kVerifyAttempts = 10;
// The read path asks again after a lost report, but not for ever: a keyboard
// that keeps failing is reported, not retried ten times per part.
inline constexpr int kReadAttempts = 3;
inline constexpr unsigned kBeginWaitMs = 2000;
inline constexpr unsigned kBlockWaitMs = 10;
inline constexpr unsigned kVerifyEndWaitMs = 100;
inline constexpr unsigned kPrepareWaitMs = 200;
inline constexpr unsigned kInfoWriteWaitMs = 100;

inline const std::uint8_t* Block(const std::uint8_t* image, std::size_t k) {
  return image + k * kBlockSize;
}

}  // namespace kbt::protocol
