// The dialog's worker threads: discovery passes and update runs. Nobody waits
// for them, as closing the dialog must end the program at once even during
// a run; a count of the live workers lets tests and orderly ends wait until
// all are done (WaitIdle).
//
// They are not detached, though: with winpthreads (the mingw-w64 build) a
// thread detached right after its start has been seen never to run, under
// load under Wine, which would leave a discovery pass marked as running for
// ever. Each thread stays joinable in a list, and finished ones are joined
// when the next one starts.
//
// Discovery passes run one at a time on one thread: a request while a pass
// runs queues one more pass, and further requests collapse into it. So no two
// passes write the paths at once, and the last pass sees the bus as it is
// after the last arrival.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device/hid.h"

namespace kbt {

class WorkerThreads {
 public:
  WorkerThreads() = default;
  // Joins what is left of the threads. A worker may be the last holder of
  // the object this belongs to (the dialog closed during its run); its own
  // thread, which is returning, is detached instead.
  ~WorkerThreads();
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Starts `body` on a new thread; throws std::system_error when there is
  // none. The thread's captures are released before it counts as finished.
  void Launch(std::function<void()> body);

  // A worker counts as live from Started until Ended.
  void Started();
  void Ended();
  // Blocks until no worker is live, then joins what is left of their threads.
  void WaitIdle();

  // Discovery passes. True when the caller is to start the pass loop now
  // (it counts as a live worker from here); false when the request was
  // queued behind the pass that runs.
  bool BeginDiscovery(HidBackend& hid);
  // After each pass: the backend of the pass queued meanwhile, or null when
  // none is; the loop then ends and no longer counts as live.
  HidBackend* NextDiscovery();
  // The pass loop's thread could not be started: nothing runs, nothing is
  // queued; the next request tries again.
  void DiscoveryNotStarted();
  // Whether a discovery pass waits behind the one running now.
  bool DiscoveryQueued() const;

 private:
  struct Thread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int live_ = 0;
  bool discoveryRunning_ = false;
  bool discoveryQueued_ = false;
  HidBackend* queuedBackend_ = nullptr;

  std::mutex threadsMutex_;
  std::vector<Thread> threads_;
};

}  // namespace kbt
