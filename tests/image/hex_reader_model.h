// A plain model of the HEX reader, written the obvious way, for the fuzz
// target to compare the conversion and the inspection with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kbt::model {

// The whole text, its carriage returns before line feeds removed, cut into
// pieces of 255, each copied into a zeroed 256-byte buffer, every field
// through strtol on its own copy: the Work buffer and the image end.
std::vector<std::uint8_t> ReadWork(const std::string& raw, long& imageEnd);

// The image that reading gives over a fill of `fill`, the start bytes
// exchanged where the image asks for it.
std::vector<std::uint8_t> ImageOver(const std::vector<std::uint8_t>& work, long imageEnd,
                                    std::uint8_t fill, bool& exchanged);

}  // namespace kbt::model
