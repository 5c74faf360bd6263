// The rules of device discovery: the IDs and report lengths that tell the
// update-mode keyboard's Data and Command interfaces and a keyboard in
// normal operation apart, and the rule an interface falls under, for
// callers that show it without acting on it (`kbupdate list`). Discovery
// itself applies the same function.
#pragma once

#include <cstdint>

#include "device/hid.h"

namespace kbt {

// The update-mode device and the matching constants.
inline constexpr std::uint16_t kUpdateVendorId = 0x0603;
inline constexpr std::uint16_t kUpdateProductId = 0x1020;
inline constexpr std::uint16_t kVendorUsagePage = 0xFF00;
inline constexpr std::uint16_t kDataFeatureLength = 2050;
inline constexpr std::uint16_t kCommandFeatureLength = 6;

enum class DiscoveryRule { DataInterface, CommandInterface, NormalModeCommand, None };

// The first rule that fits `info`; with bootEntryHold set, a normal-mode
// keyboard falls under None.
DiscoveryRule ClassifyInterface(const HidInterfaceInfo& info, bool bootEntryHold);

}  // namespace kbt
