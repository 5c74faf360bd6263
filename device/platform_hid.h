// The platform's HID layer and device events, for the front ends that run on
// real hardware. device/linux/ (hidraw + libudev, target kb_hid_linux) and
// device/windows/ (SetupAPI + the HID class, target kb_hid_windows) define
// these; the build links the system's one as kb_platform_hid, which sets
// the compile definition KB_HAVE_PLATFORM_HID for whatever links it. Code
// that calls these functions checks that definition, so that a build without
// a platform layer still links and says so instead.
#pragma once

#include <memory>

#include "device/device_events.h"
#include "device/hid.h"

namespace kbt {

std::unique_ptr<HidBackend> MakePlatformHidBackend();

// Arrival and removal of HID interfaces (Linux: a libudev monitor on the
// hidraw subsystem, kernel uevents). Null when the platform offers none; the
// caller then looks again from time to time.
std::unique_ptr<DeviceEventSource> MakePlatformDeviceEventSource();

}  // namespace kbt
