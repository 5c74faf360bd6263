// The Update worker's parts: the result log and the end of a run.
#pragma once

#include "device/hid.h"
#include "device/update_run.h"

namespace kbt {

// The bare name, resolved against the current working directory when the
// line is written.
inline constexpr char kResultLogName[] = "DLog.txt";

// Replaces the log's content with "PASS" or "FAIL" and CR LF: six bytes on
// every platform, since line scripts read this file. False when the file
// could not be written; the worker then goes on without a word.
bool WriteResultLog(bool pass);

// After a run that returned `result`: the log line, green or red while
// g_DeviceReady is set, g_UpdateBusy cleared.
void FinishUpdate(int result);

// UpdateWorker with the run's result and notes, for the command line.
int UpdateWorkerWithResult(HidBackend& hid, RunNotes* notes);

}  // namespace kbt
