#include "dialog/dialog_sink.h"

namespace kbt {
namespace {

class SilentSink final : public DialogSink {
 public:
  void ProgressStep() override {}
  void ShowDeviceReady() override {}
  void ShowRunResult(bool) override {}
  void ShowSkipped(const std::vector<SkippedInterface>&) override {}
};

}  // namespace

std::shared_ptr<DialogSink> SilentDialogSink() {
  return std::make_shared<SilentSink>();
}

}  // namespace kbt
