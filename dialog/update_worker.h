// The Update worker's parts: the result log and the end of a run.
#pragma once

#include "device/hid.h"
#include "dialog/dialog_state.h"
#include "dialog/update_run.h"

namespace kbt {

// The bare name, resolved against the current working directory when the
// line is written.
inline constexpr char kResultLogName[] = "DLog.txt";

// Replaces the log's content with "PASS" or "FAIL" and CR LF: six bytes on
// every platform, since line scripts read this file. False when the file
// could not be written; the worker then goes on without a word.
bool WriteResultLog(bool pass);

// After a run that returned `result`: the log line, green or red while the
// device is shown ready, updateBusy cleared.
void FinishUpdate(DialogState& state, int result);

// The Update worker: the run, then FinishUpdate. Returns the run's result.
int UpdateWorker(DialogState& state, HidBackend& hid, RunNotes* notes = nullptr);

}  // namespace kbt
