#include "ui/status_outputs.h"

#include "ui/status_button.h"

namespace kbt {

std::atomic<std::int32_t> g_ProgressStep{0};

namespace {
// Workers load their own reference, so a front end that removes its outputs
// while a worker is inside a call keeps the object alive until the call ends.
std::atomic<std::shared_ptr<StatusOutputs>> g_Outputs;
}  // namespace

void InstallStatusOutputs(std::shared_ptr<StatusOutputs> outputs) {
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
