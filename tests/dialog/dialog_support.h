// Shared fixtures of the dialog's tests: a dialog state as a program starts
// with it, the status outputs recorded, the progress bar as the Start
// command leaves it, a test firmware image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/update_counter.h"
#include "dialog/dialog_state.h"
#include "image/firmware_image.h"
#include "tests/device/support.h"
#include "ui/status_button.h"
#include "ui/status_outputs.h"

namespace kbt::test {

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

// A dialog's state as at program start: flags clear, no paths, an update
// counter of its own at 1, and the status outputs as its workers' sink, as
// the dialog's controller makes it.
struct TestDialogState {
  UpdateCounter counter;
  std::shared_ptr<DialogState> shared =
      std::make_shared<DialogState>(counter, StatusOutputsDialogSink());
  DialogState& state = *shared;
};

// The status outputs' program-wide values as at program start; installs
// `outputs`.
inline void ResetStatusOutputs(std::shared_ptr<StatusOutputs> outputs) {
  g_ProgressStep = 0;
  g_ButtonFillColor = kColorLightGrey;
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
inline void FillTestImage(std::uint8_t* image, std::uint8_t firstByte = 0x02) {
  for (std::size_t i = 0; i < kImageSize; ++i)
    image[i] = static_cast<std::uint8_t>((i * 31 + i / 256 + 7) & 0xFF);
  image[0] = firstByte;
}

}  // namespace kbt::test
