#include "device/update_worker.h"

#include <fstream>

#include "device/device_state.h"
#include "device/workers.h"
#include "device/dialog_sink.h"

namespace kbt {

bool WriteResultLog(bool pass) {
  // Binary, so that the line end is CR LF on Linux too, and nothing else.
  std::ofstream out(kResultLogName, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << (pass ? "PASS\r\n" : "FAIL\r\n");
  out.flush();
  return static_cast<bool>(out);
}

void FinishUpdate(int result) {
  const bool pass = result == kUpdateRunOk;
  (void)WriteResultLog(pass);
  // After a removal the Removal reset has painted the button grey already;
  // the outcome then shows in the log only.
  if (g_DeviceReady.load()) CurrentDialogSink()->ShowRunResult(pass);
  g_UpdateBusy = false;
}

int UpdateWorkerWithResult(HidBackend& hid, RunNotes* notes) {
  const int result = UpdateRun(hid, notes);
  FinishUpdate(result);
  return result;
}

void UpdateWorker(HidBackend& hid) {
  (void)UpdateWorkerWithResult(hid, nullptr);
}

}  // namespace kbt
