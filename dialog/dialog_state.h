// The single-keyboard dialog's state, in one object: its flags, the Data and
// Command paths its discovery recorded, the firmware image and the lock that
// gives it to one user at a time, the update counter the program handed in,
// where its workers' news goes, and the workers themselves. The dialog's
// controller (ui/dialog_controller.h) owns it; a worker shares it while it
// runs, so that closing the dialog during a run ends the program at once
// without pulling the state from under the run.
//
// Flags are atomic; the two paths are read and written under one lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "device/hid.h"
#include "device/sleep.h"
#include "device/update_counter.h"
#include "dialog/dialog_sink.h"
#include "dialog/worker_threads.h"

namespace kbt {

struct DevicePaths {
  DevicePath data;
  DevicePath command;
};

class DialogState {
 public:
  // `counter` is the program's and outlives every run; `sink` shows what the
  // workers report (null: nothing is shown).
  explicit DialogState(UpdateCounter& counter, std::shared_ptr<DialogSink> sink = nullptr);
  DialogState(const DialogState&) = delete;
  DialogState& operator=(const DialogState&) = delete;

  std::atomic<bool> deviceReady{false};
  std::atomic<bool> updateBusy{false};
  std::atomic<bool> bootEntryHold{false};

  // The firmware image, kImageSize bytes, allocated with the state and never
  // cleared here (every conversion starts from a zero-filled image). Null
  // only when the allocation failed; an update run treats that as a failed
  // run.
  std::unique_ptr<std::uint8_t[]> imageBuffer;
  // The image belongs to at most one user at a time: the Start command's
  // conversion and check, then the update run it hands the image to.
  // Whoever holds this lock may write or read imageBuffer; a run keeps it
  // until it has finished, so a second Start (say, after a late discovery
  // re-enabled the button) cannot convert under a running update.
  std::mutex imageMutex;

  UpdateCounter& counter;
  const std::shared_ptr<DialogSink> sink;  // never null
  // The waits of discovery and of the run (empty: real time). Tests set it
  // before the first worker starts.
  Sleeper sleep;
  WorkerThreads workers;

  // The paths, under their lock.
  DevicePaths ReadDevicePaths() const;
  // Each path only when it fits the 260-character buffers (else empty).
  void WriteDevicePaths(const DevicePaths& paths);
  void ClearDevicePaths();
  // How often ClearDevicePaths has run (the Removal reset): a discovery pass
  // that sees it change while it walks or waits knows that the device it
  // found may be gone, and leaves the next arrival's pass to look again.
  unsigned DevicePathsClearCount() const;
  // WriteDevicePaths, unless ClearDevicePaths ran since `clearCount` was
  // read; then the paths stay as the clearing left them and the result is
  // false.
  bool WriteDevicePathsUnlessCleared(const DevicePaths& paths, unsigned clearCount);

 private:
  void WriteLocked(const DevicePaths& paths);

  mutable std::mutex pathMutex_;
  DevicePath dataPath_;
  DevicePath commandPath_;
  unsigned pathClears_ = 0;
};

}  // namespace kbt
