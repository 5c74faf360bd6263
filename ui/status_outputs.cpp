#include "ui/status_outputs.h"

#include "ui/status_button.h"

namespace kbt {

std::atomic<std::int32_t> g_ProgressStep{0};

namespace {
// Workers load their own reference, so a front end that removes its outputs
// while a worker is inside a call keeps the object alive until the call ends.
std::atomic<std::shared_ptr<StatusOutputs>> g_Outputs;
}  // namespace

namespace {

// Why the button stays grey, when the reason is one the user can remove:
// an interface of a keyboard that the system will not let this user open.
// Other failures (a keyboard leaving the bus mid-walk) pass by themselves.
std::wstring AccessHint(const std::vector<SkippedInterface>& skipped) {
  std::wstring nodes;
  for (const SkippedInterface& s : skipped) {
    if (!s.accessDenied) continue;
    if (!nodes.empty()) nodes += L", ";
    nodes += s.path;
  }
  if (nodes.empty()) return {};
  return L"A keyboard is present, but this user may not open it (permission denied on " + nodes +
         L").\nTo give access, run:\n    sudo kbupdate access --install";
}

// The dialog's side of what the device core's workers report: the colours
// and the button state are chosen here.
class StatusOutputsSink final : public DialogSink {
 public:
  void ProgressStep() override { kbt::ProgressStep(); }
  void ShowDeviceReady() override {
    SetStartButtonHint({});
    SetButtonColor(kColorYellow);
    EnableStartButton(true);
  }
  void ShowRunResult(bool pass) override { SetButtonColor(pass ? kColorGreen : kColorRed); }
  void ShowSkipped(const std::vector<SkippedInterface>& skipped) override {
    SetStartButtonHint(AccessHint(skipped));
  }
};

}  // namespace

std::shared_ptr<DialogSink> StatusOutputsDialogSink() {
  // Outlives the outputs: once they are removed its calls change the
  // program-wide values only, as the free functions below do.
  return std::make_shared<StatusOutputsSink>();
}

void InstallStatusOutputs(std::shared_ptr<StatusOutputs> outputs) {
  g_Outputs.store(std::move(outputs));
}

void RemoveStatusOutputs() {
  g_Outputs.store(nullptr);
}

void SetButtonColor(ColorRef color) {
  g_ButtonFillColor.store(color);
  if (auto out = g_Outputs.load()) out->RepaintButton();
}

void SetProgressPos(int position) {
  if (auto out = g_Outputs.load()) out->SetProgressPos(position);
}

void ProgressStep() {
  SetProgressPos(g_ProgressStep.fetch_add(1));
}

void EnableStartButton(bool enabled) {
  if (auto out = g_Outputs.load()) out->EnableStartButton(enabled);
}

void SetStartButtonHint(const std::wstring& text) {
  if (auto out = g_Outputs.load()) out->SetStartButtonHint(text);
}

}  // namespace kbt
