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
unsigned g_PathClears = 0;
}  // namespace

DevicePaths ReadDevicePaths() {
  std::lock_guard lock(g_PathMutex);
  return {g_DataPath, g_CommandPath};
}

namespace {
void WriteLocked(const DevicePaths& paths) {
  g_DataPath = PathFits(paths.data) ? paths.data : DevicePath();
  g_CommandPath = PathFits(paths.command) ? paths.command : DevicePath();
}
}  // namespace

void WriteDevicePaths(const DevicePaths& paths) {
  std::lock_guard lock(g_PathMutex);
  WriteLocked(paths);
}

void ClearDevicePaths() {
  std::lock_guard lock(g_PathMutex);
  g_DataPath.clear();
  g_CommandPath.clear();
  ++g_PathClears;
}

unsigned DevicePathsClearCount() {
  std::lock_guard lock(g_PathMutex);
  return g_PathClears;
}

bool WriteDevicePathsUnlessCleared(const DevicePaths& paths, unsigned clearCount) {
  std::lock_guard lock(g_PathMutex);
  if (g_PathClears != clearCount) return false;
  WriteLocked(paths);
  return true;
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
