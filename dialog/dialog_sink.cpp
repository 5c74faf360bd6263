#include "device/dialog_sink.h"

#include <atomic>

namespace kbt {
namespace {

class SilentSink final : public DialogSink {
 public:
  void ProgressStep() override {}
  void ShowDeviceReady() override {}
  void ShowRunResult(bool) override {}
  void ShowSkipped(const std::vector<SkippedInterface>&) override {}
};

std::atomic<std::shared_ptr<DialogSink>>& Slot() {
  // Never destroyed: workers may still call in while the program ends.
  static auto* slot = new std::atomic<std::shared_ptr<DialogSink>>(std::make_shared<SilentSink>());
  return *slot;
}

}  // namespace

void InstallDialogSink(std::shared_ptr<DialogSink> sink) {
  Slot().store(sink ? std::move(sink) : std::make_shared<SilentSink>());
}

std::shared_ptr<DialogSink> CurrentDialogSink() {
  return Slot().load();
}

}  // namespace kbt
