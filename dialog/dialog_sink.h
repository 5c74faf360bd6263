// What the dialog's workers show, declared here and implemented by the
// dialog's front end (ui/: the status outputs, the Progress step over
// g_ProgressStep, the Start button's colour and state). The dialog's
// machinery only says what happened; which colour means it is the front
// end's business.
//
// The dialog's state holds its sink (dialog_state.h); one that shows nothing
// stands in where there is no window (tests, benchmarks).
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
  // not (empty when it skipped none, when it found the update-mode keyboard,
  // and while the dialog shows a keyboard ready). A keyboard the user may
  // not open leaves the dialog as it was; this says why.
  virtual void ShowSkipped(const std::vector<SkippedInterface>& skipped) = 0;
};

// A sink that shows nothing.
std::shared_ptr<DialogSink> SilentDialogSink();

}  // namespace kbt
