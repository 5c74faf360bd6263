// The Firmware image: a flat copy of the device's program memory,
// byte n = address n, and the one way every front end loads it from a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kbt {

inline constexpr std::size_t kImageSize = 0x3800;  // 14336 bytes, addresses 0..0x37FF

// What became of loading a firmware file, in the order the steps are taken.
enum class FirmwareLoad {
  Loaded,       // converted, and the signature is there
  NotOpened,    // the file could not be opened (`reason`)
  NotRead,      // it was opened but reading failed part way (`reason`)
  NoSignature,  // converted, but it holds no firmware signature
};

struct FirmwareLoadResult {
  FirmwareLoad status = FirmwareLoad::Loaded;
  std::string reason;  // the system's words for NotOpened and NotRead, else empty
  bool Loaded() const { return status == FirmwareLoad::Loaded; }
};

// Zero-fills `image` (kImageSize bytes), converts the Intel HEX file at
// `path` into it and checks the firmware signature. Shows nothing: each
// front end turns the status into its own words (the dialog's boxes, a line
// and an exit code on the command line, a message box in the station
// window). After NotOpened or NotRead the image holds no part of the file.
FirmwareLoadResult LoadFirmware(const std::wstring& path, std::uint8_t* image);

}  // namespace kbt
