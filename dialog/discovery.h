// The dialog's device discovery: one walk over the present HID interfaces
// that records the update-mode keyboard's Data and Command paths and tells
// every keyboard in normal operation to enter update mode.
#pragma once

#include "device/hid.h"
#include "dialog/dialog_state.h"

namespace kbt {

// One walk. Returns the number of Data interfaces found; records the paths;
// sends the Enter-update-mode pair to normal-mode vendor interfaces.
int DeviceDiscovery(DialogState& state, HidBackend& hid);

// One discovery and, when a Data interface was found, the ready delay,
// yellow, deviceReady, the enabled Start button and a cleared hold.
void DiscoveryWorker(DialogState& state, HidBackend& hid);

}  // namespace kbt
