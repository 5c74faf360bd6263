// Worker threads. Nobody waits for them, as closing the dialog must end the
// program at once even during a run; a count of the live workers lets tests
// and orderly ends wait until all are done.
//
// They are not detached, though: with winpthreads (the mingw-w64 build) a
// thread detached right after its start has been seen never to run, under
// load under Wine, which would leave a discovery pass marked as running for
// ever. Each thread stays joinable in a list that is never destroyed, and
// finished ones are joined when the next one starts.
//
// Discovery passes run one at a time on one thread: a request while a pass
// runs queues one more pass, and further requests collapse into it. So no two
// passes write the paths at once, and the last pass sees the bus as it is
// after the last arrival.
//
// The image lock: the Start command takes g_ImageMutex on its own thread and
// hands it to the run. A std::mutex must be unlocked by the thread that
// locked it, so the handover is a relay: the worker waits for the mutex, the
// caller lets go, and StartUpdateWorker returns only once the worker holds
// it. The caller's thread is the only other one that takes this lock, and it
// is inside StartUpdateWorker all that time, so nobody can slip in between.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "device/update_worker.h"
#include "device/workers.h"
#include "image/firmware_image.h"

namespace kbt {
namespace {

std::mutex g_WorkerMutex;
std::condition_variable g_WorkersChanged;
int g_LiveWorkers = 0;
bool g_DiscoveryRunning = false;
bool g_DiscoveryQueued = false;
HidBackend* g_QueuedBackend = nullptr;

void WorkerStarted() {
  std::lock_guard lock(g_WorkerMutex);
  ++g_LiveWorkers;
}

void WorkerEnded() {
  std::lock_guard lock(g_WorkerMutex);
  --g_LiveWorkers;
  g_WorkersChanged.notify_all();
}

struct WorkerThread {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> finished;
};

// Never destroyed: the program may end while workers still run.
std::mutex& g_ThreadsMutex = *new std::mutex;
std::vector<WorkerThread>& g_Threads = *new std::vector<WorkerThread>;

// Starts `body` on a new thread; throws std::system_error when there is none.
void Launch(std::function<void()> body) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([body = std::move(body), finished] {
    body();
    *finished = true;
  });
  std::lock_guard lock(g_ThreadsMutex);
  std::erase_if(g_Threads, [](WorkerThread& w) {
    if (!*w.finished) return false;
    w.thread.join();  // it has nothing left to do but return
    return true;
  });
  g_Threads.push_back({std::move(thread), std::move(finished)});
}

void DiscoveryLoop(HidBackend* hid) {
  for (;;) {
    DiscoveryWorker(*hid);
    std::lock_guard lock(g_WorkerMutex);
    if (!g_DiscoveryQueued) {
      g_DiscoveryRunning = false;
      --g_LiveWorkers;
      g_WorkersChanged.notify_all();
      return;
    }
    g_DiscoveryQueued = false;
    hid = g_QueuedBackend;
  }
}

}  // namespace

void RequestDiscovery(HidBackend& hid) {
  {
    std::lock_guard lock(g_WorkerMutex);
    if (g_DiscoveryRunning) {
      g_DiscoveryQueued = true;
      g_QueuedBackend = &hid;
      return;
    }
    g_DiscoveryRunning = true;
    ++g_LiveWorkers;
  }
  try {
    Launch([&hid] { DiscoveryLoop(&hid); });
  } catch (const std::system_error&) {
    // No thread: no discovery this time, as when the platform refuses a
    // thread start; the next arrival asks again.
    std::lock_guard lock(g_WorkerMutex);
    g_DiscoveryRunning = false;
    g_DiscoveryQueued = false;
    --g_LiveWorkers;
    g_WorkersChanged.notify_all();
  }
}

bool DiscoveryPassQueued() {
  std::lock_guard lock(g_WorkerMutex);
  return g_DiscoveryQueued;
}

void StartUpdateWorker(HidBackend& hid, std::unique_lock<std::mutex> imageLock) {
  struct Relay {
    std::mutex mutex;
    std::condition_variable taken;
    bool workerHoldsImage = false;
  };
  auto relay = std::make_shared<Relay>();

  WorkerStarted();
  try {
    Launch([&hid, relay] {
      std::unique_lock<std::mutex> image(g_ImageMutex);
      {
        std::lock_guard lock(relay->mutex);
        relay->workerHoldsImage = true;
      }
      relay->taken.notify_all();
      const int result = UpdateRun(hid);
      // The image is free before the busy flag clears, so a Start that the
      // end of the run makes possible finds it free.
      image.unlock();
      FinishUpdate(result);
      WorkerEnded();
    });
  } catch (const std::system_error&) {
    // No thread: the run goes on this thread, which already holds the image.
    WorkerEnded();
    UpdateWorker(hid);
    return;
  }

  if (imageLock.owns_lock()) imageLock.unlock();
  std::unique_lock lock(relay->mutex);
  relay->taken.wait(lock, [&] { return relay->workerHoldsImage; });
}

void WaitForWorkersIdle() {
  std::unique_lock lock(g_WorkerMutex);
  g_WorkersChanged.wait(lock, [] { return g_LiveWorkers == 0; });
  lock.unlock();
  // Every worker is past its last step; what is left of each thread is its
  // return, which the joins wait for.
  std::vector<WorkerThread> ended;
  {
    std::lock_guard threads(g_ThreadsMutex);
    ended.swap(g_Threads);
  }
  for (WorkerThread& w : ended) w.thread.join();
}

}  // namespace kbt
