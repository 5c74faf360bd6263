#include "image/firmware_image.h"

#include <new>

namespace kbt {

// Allocated during static initialisation, before any front end runs; not
// cleared here, since every conversion starts from a zero-filled image.
std::uint8_t* g_ImageBuffer = new (std::nothrow) std::uint8_t[kImageSize];

std::mutex g_ImageMutex;

}  // namespace kbt
