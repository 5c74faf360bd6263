// The image lock: the Start command takes the state's imageMutex on its own
// thread and hands it to the run. A std::mutex must be unlocked by the
// thread that locked it, so the handover is a relay: the worker waits for
// the mutex, the caller lets go, and StartUpdateWorker returns only once the
// worker holds it. The caller's thread is the only other one that takes
// this lock, and it is inside StartUpdateWorker all that time, so nobody can
// slip in between.
#include "dialog/workers.h"

#include <condition_variable>
#include <system_error>
#include <utility>

#include "dialog/discovery.h"
#include "dialog/update_worker.h"

namespace kbt {
namespace {

void DiscoveryLoop(DialogState& state, HidBackend* hid) {
  do {
    DiscoveryWorker(state, *hid);
    hid = state.workers.NextDiscovery();
  } while (hid != nullptr);
}

}  // namespace

void RequestDiscovery(const std::shared_ptr<DialogState>& state, HidBackend& hid) {
  if (!state->workers.BeginDiscovery(hid)) return;
  try {
    state->workers.Launch([state, hid = &hid] { DiscoveryLoop(*state, hid); });
  } catch (const std::system_error&) {
    // No thread: no discovery this time, as when the platform refuses a
    // thread start; the next arrival asks again.
    state->workers.DiscoveryNotStarted();
  }
}

void StartUpdateWorker(const std::shared_ptr<DialogState>& state, HidBackend& hid,
                       std::unique_lock<std::mutex> imageLock) {
  struct Relay {
    std::mutex mutex;
    std::condition_variable taken;
    bool workerHoldsImage = false;
  };
  auto relay = std::make_shared<Relay>();

  state->workers.Started();
  try {
    state->workers.Launch([state, &hid, relay] {
      std::unique_lock<std::mutex> image(state->imageMutex);
      {
        std::lock_guard lock(relay->mutex);
        relay->workerHoldsImage = true;
      }
      relay->taken.notify_all();
      const int result = UpdateRun(*state, hid);
      // The image is free before the busy flag clears, so a Start that the
      // end of the run makes possible finds it free.
      image.unlock();
      FinishUpdate(*state, result);
      state->workers.Ended();
    });
  } catch (const std::system_error&) {
    // No thread: the run goes on this thread, which already holds the image.
    state->workers.Ended();
    (void)UpdateWorker(*state, hid);
    return;
  }

  if (imageLock.owns_lock()) imageLock.unlock();
  std::unique_lock lock(relay->mutex);
  relay->taken.wait(lock, [&] { return relay->workerHoldsImage; });
}

void WaitForWorkersIdle(DialogState& state) {
  state.workers.WaitIdle();
}

}  // namespace kbt
