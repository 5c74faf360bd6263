#include "ui/status_outputs.h"

#include "device/dialog_sink.h"
#include "ui/status_button.h"

namespace kbt {

std::atomic<std::int32_t> g_ProgressStep{0};

namespace {
// Workers load their own reference, so a front end that removes its outputs
// while a worker is inside a call keeps the object alive until the call ends.
std::atomic<std::shared_ptr<StatusOutputs>> g_Outputs;
}  // namespace

namespace {
// The dialog's side of what the device core's workers report: the colours
// and the button state are chosen here.
class StatusOutputsSink final : public DialogSink {
 public:
  void ProgressStep() override { kbt::ProgressStep(); }
  void ShowDeviceReady() override {
    SetButtonColor(kColorYellow);
    EnableStartButton(true);
  }
  void ShowRunResult(bool pass) override { SetButtonColor(pass ? kColorGreen : kColorRed); }
};
}  // namespace

void InstallStatusOutputs(std::shared_ptr<StatusOutputs> outputs) {
  // Stays installed when the outputs go: the calls then change the
  // program-wide values only, as the free functions below do.
  static const bool sinkInstalled = (InstallDialogSink(std::make_shared<StatusOutputsSink>()), true);
  (void)sinkInstalled;
  g_Outputs.store(std::move(outputs));
}

void RemoveStatusOutputs() { g_Outputs.store(nullptr); }

void SetButtonColor(ColorRef color) {
  g_ButtonFillColor.store(color);
  if (auto out = g_Outputs.load()) out->RepaintButton();
}

void SetProgressPos(int position) {
  if (auto out = g_Outputs.load()) out->SetProgressPos(position);
}

void ProgressStep() { SetProgressPos(g_ProgressStep.fetch_add(1)); }

void EnableStartButton(bool enabled) {
  if (auto out = g_Outputs.load()) out->EnableStartButton(enabled);
}

}  // namespace kbt
