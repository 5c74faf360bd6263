#include "device/device_state.h"

#include <mutex>

namespace kbt {

std::atomic<bool> g_DeviceReady{false};
std::atomic<bool> g_UpdateBusy{false};
std::atomic<bool> g_BootEntryHold{false};
std::atomic<std::uint16_t> g_UpdateCounter{1};

namespace {
std::mutex g_PathMutex;
DevicePath g_DataPath;
DevicePath g_CommandPath;
}  // namespace

DevicePaths ReadDevicePaths() {
  std::lock_guard lock(g_PathMutex);
  return {g_DataPath, g_CommandPath};
}

void WriteDevicePaths(const DevicePaths& paths) {
  std::lock_guard lock(g_PathMutex);
  g_DataPath = PathFits(paths.data) ? paths.data : DevicePath();
  g_CommandPath = PathFits(paths.command) ? paths.command : DevicePath();
}

void ClearDevicePaths() {
  std::lock_guard lock(g_PathMutex);
  g_DataPath.clear();
  g_CommandPath.clear();
}

void SetDataPath(const DevicePath& path) {
  if (!PathFits(path)) return;
  std::lock_guard lock(g_PathMutex);
  g_DataPath = path;
}

void SetCommandPath(const DevicePath& path) {
  if (!PathFits(path)) return;
  std::lock_guard lock(g_PathMutex);
  g_CommandPath = path;
}

}  // namespace kbt
