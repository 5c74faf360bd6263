// The rule of device discovery that an interface falls under, for callers
// that show it without acting on it (`kbupdate list`). Discovery itself
// applies the same function.
#pragma once

#include "device/hid.h"

namespace kbt {

enum class DiscoveryRule { DataInterface, CommandInterface, NormalModeCommand, None };

// The first rule that fits `info`; with bootEntryHold set, a normal-mode
// keyboard falls under None.
DiscoveryRule ClassifyInterface(const HidInterfaceInfo& info, bool bootEntryHold);

}  // namespace kbt
