// Intel HEX conversion with the fixed-position reader.
#pragma once

#include <cstdint>
#include <string>

#include "ui/dialog_services.h"

namespace kbt {

inline constexpr int kHexToBinNotOpened = 1;  // after the "  No Finded" box
inline constexpr int kHexToBinRead = 2;       // the file was opened and read
// The file was opened but reading it failed part way (an I/O error, not the
// end of the file); the image is left untouched. Callers treat every status
// other than 2 as a failed conversion, so a half-read file is never flashed.
inline constexpr int kHexToBinReadFailed = 3;

// Converts the file at `path` into `image` (kImageSize bytes, zero-filled by
// the caller) and applies the Start-byte exchange. When the file cannot be
// opened it shows the box "<path>  No Finded" through `dialog` and returns 1.
int HexToBin(const std::wstring& path, std::uint8_t* image, DialogServices& dialog);

}  // namespace kbt
