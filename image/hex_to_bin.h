// Intel HEX conversion with the fixed-position reader.
#pragma once

#include <cstdint>
#include <string>

#include "image/byte_source.h"

namespace kbt {

inline constexpr int kHexToBinNotOpened = 1;  // the dialog then shows "<path>  No Finded"
inline constexpr int kHexToBinRead = 2;       // the file was opened and read
// The file was opened but reading it failed part way (an I/O error, not the
// end of the file); the image is left untouched. Callers treat every status
// other than 2 as a failed conversion, so a half-read file is never flashed.
inline constexpr int kHexToBinReadFailed = 3;

struct HexToBinResult {
  int status = kHexToBinRead;
  // Why the file could not be opened or read ("No such file or directory",
  // "reading failed part way: Input/output error"); empty when it was read.
  std::string reason;
  bool Read() const { return status == kHexToBinRead; }
};

// Converts the file at `path` into `image` (kImageSize bytes, zero-filled by
// the caller) and applies the Start-byte exchange. Shows nothing: the caller
// turns the status into its own message (the dialog's boxes, a line on the
// command line).
HexToBinResult HexToBin(const std::wstring& path, std::uint8_t* image);
// The same over bytes from anywhere (memory, a pipe).
HexToBinResult HexToBin(ByteSource& source, std::uint8_t* image);

// An errno value as a reason for the user.
std::string ErrnoReason(int error);

}  // namespace kbt
