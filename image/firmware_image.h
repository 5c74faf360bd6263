// The Firmware image: a flat copy of the device's program memory,
// byte n = address n. One heap buffer for the whole program, allocated by a
// static initialiser before any front end starts, never freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace kbt {

inline constexpr std::size_t kImageSize = 0x3800;  // 14336 bytes, addresses 0..0x37FF

// Null only when the start-up allocation failed; an update run treats that
// as a failed run.
extern std::uint8_t* g_ImageBuffer;

// The image belongs to at most one user at a time: the Start command's
// conversion and check, then the update run it hands the image to. Whoever
// holds this lock may write or read g_ImageBuffer; a run keeps it until it has
// finished, so a second Start (say, after a late discovery re-enabled the
// button) cannot convert under a running update.
extern std::mutex g_ImageMutex;

}  // namespace kbt
