// Program-wide device state shared by the dialog and the workers.
// Flags are atomic; the two paths are read and written under one lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/hid.h"

namespace kbt {

// Update-mode device and matching constants.
inline constexpr std::uint16_t kUpdateVendorId = 0x0603;
inline constexpr std::uint16_t kUpdateProductId = 0x1020;
inline constexpr std::uint16_t kVendorUsagePage = 0xFF00;
inline constexpr std::uint16_t kDataFeatureLength = 2050;
inline constexpr std::uint16_t kCommandFeatureLength = 6;

// The path buffers hold 260 wide characters: 259 plus the terminating zero.
// A longer path does not fit and is skipped, never cut.
inline constexpr std::size_t kPathCapacity = 260;

extern std::atomic<bool> g_DeviceReady;
extern std::atomic<bool> g_UpdateBusy;
extern std::atomic<bool> g_BootEntryHold;
extern std::atomic<std::uint16_t> g_UpdateCounter;  // 1 at program start

struct DevicePaths {
  DevicePath data;
  DevicePath command;
};

// g_DataPath and g_CommandPath, under their lock.
DevicePaths ReadDevicePaths();
void WriteDevicePaths(const DevicePaths& paths);
void ClearDevicePaths();
// How often ClearDevicePaths has run (the Removal reset): a discovery pass
// that sees it change while it walks or waits knows that the device it found
// may be gone, and leaves the next arrival's pass to look again.
unsigned DevicePathsClearCount();
// WriteDevicePaths, unless ClearDevicePaths ran since `clearCount` was read;
// then the paths stay as the clearing left them and the result is false.
bool WriteDevicePathsUnlessCleared(const DevicePaths& paths, unsigned clearCount);
// One path each, for a discovery that records matches as it walks.
void SetDataPath(const DevicePath& path);
void SetCommandPath(const DevicePath& path);
// True when a path fits the 260-character buffers with its terminating zero.
inline bool PathFits(const DevicePath& path) {
  return path.size() < kPathCapacity;
}

}  // namespace kbt
