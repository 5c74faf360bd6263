// What the dialog's workers show, declared here and implemented by the
// dialog's front end (ui/: the status outputs, the Progress step over
// g_ProgressStep, the Start button's colour and state). The device core only
// says what happened; which colour means it is the dialog's business.
//
// One sink for the program, as there is one dialog: the dialog's status
// outputs install it. Before that, and in programs without a dialog, a sink
// that does nothing stands in.
#pragma once

#include <memory>
#include <vector>

#include "device/keyboards.h"

namespace kbt {

class DialogSink {
 public:
  virtual ~DialogSink() = default;
  // One Progress step of the dialog's single session.
  virtual void ProgressStep() = 0;
  // Discovery found the update-mode keyboard and the ready delay is over:
  // the Start button becomes usable.
  virtual void ShowDeviceReady() = 0;
  // A run ended while the keyboard is still shown ready.
  virtual void ShowRunResult(bool pass) = 0;
  // After each discovery pass: the interfaces it would have used but could
  // not (empty when it skipped none, and when it found the update-mode
  // keyboard). A keyboard the user may not open leaves the dialog as it
  // was; this says why.
  virtual void ShowSkipped(const std::vector<SkippedInterface>& skipped) = 0;
};

void InstallDialogSink(std::shared_ptr<DialogSink> sink);
// Never null. Callers keep the reference for the length of one call.
std::shared_ptr<DialogSink> CurrentDialogSink();

}  // namespace kbt
