#include "dialog/update_worker.h"

#include <fstream>

#include "device/session.h"

namespace kbt {

bool WriteResultLog(bool pass) {
  // Binary, so that the line end is CR LF on Linux too, and nothing else.
  std::ofstream out(kResultLogName, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << (pass ? "PASS\r\n" : "FAIL\r\n");
  out.flush();
  return static_cast<bool>(out);
}

void FinishUpdate(DialogState& state, int result) {
  const bool pass = result == kUpdateRunOk;
  (void)WriteResultLog(pass);
  // After a removal the Removal reset has painted the button grey already;
  // the outcome then shows in the log only.
  if (state.deviceReady.load()) state.sink->ShowRunResult(pass);
  state.updateBusy = false;
}

int UpdateWorker(DialogState& state, HidBackend& hid, RunNotes* notes) {
  const int result = UpdateRun(state, hid, notes);
  FinishUpdate(state, result);
  return result;
}

}  // namespace kbt
