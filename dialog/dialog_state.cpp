#include "dialog/dialog_state.h"

#include <new>
#include <utility>

#include "device/keyboards.h"
#include "image/firmware_image.h"

namespace kbt {

DialogState::DialogState(UpdateCounter& updateCounter, std::shared_ptr<DialogSink> dialogSink)
    : imageBuffer(new (std::nothrow) std::uint8_t[kImageSize]),
      counter(updateCounter),
      sink(dialogSink ? std::move(dialogSink) : SilentDialogSink()) {}

DevicePaths DialogState::ReadDevicePaths() const {
  std::lock_guard lock(pathMutex_);
  return {dataPath_, commandPath_};
}

void DialogState::WriteLocked(const DevicePaths& paths) {
  dataPath_ = PathFits(paths.data) ? paths.data : DevicePath();
  commandPath_ = PathFits(paths.command) ? paths.command : DevicePath();
}

void DialogState::WriteDevicePaths(const DevicePaths& paths) {
  std::lock_guard lock(pathMutex_);
  WriteLocked(paths);
}

void DialogState::ClearDevicePaths() {
  std::lock_guard lock(pathMutex_);
  dataPath_.clear();
  commandPath_.clear();
  ++pathClears_;
}

unsigned DialogState::DevicePathsClearCount() const {
  std::lock_guard lock(pathMutex_);
  return pathClears_;
}

bool DialogState::WriteDevicePathsUnlessCleared(const DevicePaths& paths, unsigned clearCount) {
  std::lock_guard lock(pathMutex_);
  if (pathClears_ != clearCount) return false;
  WriteLocked(paths);
  return true;
}

}  // namespace kbt
