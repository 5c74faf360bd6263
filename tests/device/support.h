// Shared fixtures of the device tests: recorded waits, recorded status
// outputs, a fresh program state, a test firmware image.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "device/hid_trace.h"
#include "device/sleep.h"
#include "image/firmware_image.h"
#include "ui/status_button.h"
#include "ui/status_outputs.h"

namespace kbt::test {

// Records every wait instead of sleeping; `hook` runs inside each wait
// (tests use it to act in the middle of a run).
class RecordedSleep {
 public:
  explicit RecordedSleep(std::function<void(unsigned)> hook = {}) : hook_(std::move(hook)) {
    SetSleepFunction([this](unsigned ms) {
      {
        std::lock_guard lock(mutex_);
        waits_.push_back(ms);
      }
      if (hook_) hook_(ms);
    });
  }
  ~RecordedSleep() { SetSleepFunction({}); }
  std::vector<unsigned> Waits() {
    std::lock_guard lock(mutex_);
    return waits_;
  }

 private:
  std::function<void(unsigned)> hook_;
  std::mutex mutex_;
  std::vector<unsigned> waits_;
};

// What the workers showed, in order: "colour 00ffff", "progress 3",
// "enable 1".
class RecordedOutputs : public StatusOutputs {
 public:
  void RepaintButton() override {
    char text[32];
    std::snprintf(text, sizeof text, "colour %06x", g_ButtonFillColor.load());
    Add(text);
  }
  void SetProgressPos(int position) override {
    Add("progress " + std::to_string(position));
    std::lock_guard lock(mutex_);
    positions_.push_back(position);
  }
  void EnableStartButton(bool enabled) override { Add(enabled ? "enable 1" : "enable 0"); }

  std::vector<std::string> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<int> Positions() {
    std::lock_guard lock(mutex_);
    return positions_;
  }

 private:
  void Add(std::string e) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(e));
  }
  std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<int> positions_;
};

// Flags, paths and counters as at program start; installs `outputs`.
inline void ResetProgramState(std::shared_ptr<StatusOutputs> outputs) {
  g_DeviceReady = false;
  g_UpdateBusy = false;
  g_BootEntryHold = false;
  g_UpdateCounter = 1;
  g_ProgressStep = 0;
  g_ButtonFillColor = kColorLightGrey;
  ClearDevicePaths();
  InstallStatusOutputs(std::move(outputs));
}

// What the Start command does to the progress bar before a run: position 0,
// then one step, so the run begins with g_ProgressStep at 1.
inline void StartProgress() {
  g_ProgressStep = 0;
  SetProgressPos(0);
  ProgressStep();
}

// A firmware image with a distinct byte at every offset of a block, so a
// block sent in the wrong place shows.
inline void FillTestImage(std::uint8_t firstByte = 0x02) {
  for (std::size_t i = 0; i < kImageSize; ++i)
    g_ImageBuffer[i] = static_cast<std::uint8_t>((i * 31 + i / 256 + 7) & 0xFF);
  g_ImageBuffer[0] = firstByte;
}

inline std::vector<std::string> TraceLines(const std::vector<TraceRecord>& trace) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < trace.size(); ++i) lines.push_back(FormatTraceLine(i + 1, trace[i]));
  return lines;
}

}  // namespace kbt::test
