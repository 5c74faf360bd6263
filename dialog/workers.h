// The dialog's workers on threads of their own: discovery passes and the
// update run. Each takes the dialog's state as a shared pointer and keeps it
// for as long as it runs.
#pragma once

#include <memory>
#include <mutex>

#include "device/hid.h"
#include "dialog/dialog_state.h"

namespace kbt {

// Runs DiscoveryWorker on a worker thread. Passes never overlap: while one
// runs, requests collapse into at most one more pass queued behind it.
void RequestDiscovery(const std::shared_ptr<DialogState>& state, HidBackend& hid);

// Runs UpdateWorker on a new thread, which takes over the image lock that
// `imageLock` holds on the state's imageMutex: a std::mutex must be released
// by the thread that took it, so the worker takes the mutex itself as the
// caller lets go, and this returns once the worker holds it. The image is
// free again when the run has returned, before updateBusy clears.
void StartUpdateWorker(const std::shared_ptr<DialogState>& state, HidBackend& hid,
                       std::unique_lock<std::mutex> imageLock);

// Blocks until no discovery pass or update worker runs (tests, orderly ends).
// Workers are threads that the program never waits for, and may end during
// a run; they are counted while they live.
void WaitForWorkersIdle(DialogState& state);

}  // namespace kbt
