// The platform's HID layer and device events, for the front ends that run on
// real hardware. hid_linux.cpp (hidraw + libudev) and hid_windows.cpp
// (SetupAPI + the HID class) define these; the platform's cmake file
// (device/linux.cmake, device/windows.cmake) adds that source to kbcore and
// sets the compile definition KB_HAVE_PLATFORM_HID on kbcore (PUBLIC). Code
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
// caller then polls with DeviceDiscovery.
std::unique_ptr<DeviceEventSource> MakePlatformDeviceEventSource();

}  // namespace kbt
