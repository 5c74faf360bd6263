// The worker threads of the dialog: discovery passes and update runs.
#pragma once

#include <mutex>

#include "device/hid.h"

namespace kbt {

// Device discovery: one walk over the present HID interfaces. Returns the
// number of Data interfaces found; records the paths; sends the
// Enter-update-mode pair to normal-mode vendor interfaces.
int DeviceDiscovery(HidBackend& hid);

// One discovery and, when a Data interface was found, the ready delay,
// yellow, g_DeviceReady, the enabled Start button and a cleared hold.
void DiscoveryWorker(HidBackend& hid);

// Runs DiscoveryWorker on a worker thread. Passes never overlap: while one
// runs, requests collapse into at most one more pass queued behind it.
void RequestDiscovery(HidBackend& hid);

// Whether a discovery pass waits behind the one running now.
bool DiscoveryPassQueued();

// The Update run: 0 on success, 2 on failure.
int UpdateRun(HidBackend& hid);

// The Update worker: the run, DLog.txt, the result colour, g_UpdateBusy.
void UpdateWorker(HidBackend& hid);

// Runs UpdateWorker on a new thread, which takes over the image lock that
// `imageLock` holds on g_ImageMutex: a std::mutex must be released by the
// thread that took it, so the worker takes the mutex itself as the caller
// lets go, and this returns once the worker holds it. The image is free
// again when the run has returned, before g_UpdateBusy clears.
void StartUpdateWorker(HidBackend& hid, std::unique_lock<std::mutex> imageLock);

// Blocks until no discovery pass or update worker runs (tests, orderly ends).
// Workers are detached threads, counted while they live: the program never
// waits for them, and may end during a run.
void WaitForWorkersIdle();

}  // namespace kbt
