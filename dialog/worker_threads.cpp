#include "dialog/worker_threads.h"

#include <utility>

namespace kbt {

WorkerThreads::~WorkerThreads() {
  const std::thread::id self = std::this_thread::get_id();
  for (Thread& t : threads_) {
    if (!t.thread.joinable()) continue;
    if (t.thread.get_id() == self)
      t.thread.detach();
    else
      t.thread.join();
  }
}

void WorkerThreads::Launch(std::function<void()> body) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([body = std::move(body), finished]() mutable {
    body();
    body = nullptr;  // what it holds goes before the thread counts as finished
    *finished = true;
  });
  std::lock_guard lock(threadsMutex_);
  std::erase_if(threads_, [](Thread& t) {
    if (!*t.finished) return false;
    t.thread.join();  // it has nothing left to do but return
    return true;
  });
  threads_.push_back({std::move(thread), std::move(finished)});
}

void WorkerThreads::Started() {
  std::lock_guard lock(mutex_);
  ++live_;
}

void WorkerThreads::Ended() {
  std::lock_guard lock(mutex_);
  --live_;
  changed_.notify_all();
}

void WorkerThreads::WaitIdle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return live_ == 0; });
  lock.unlock();
  // Every worker is past its last step; what is left of each thread is its
  // return, which the joins wait for.
  std::vector<Thread> ended;
  {
    std::lock_guard threads(threadsMutex_);
    ended.swap(threads_);
  }
  for (Thread& t : ended) t.thread.join();
}

bool WorkerThreads::BeginDiscovery(HidBackend& hid) {
  std::lock_guard lock(mutex_);
  if (discoveryRunning_) {
    discoveryQueued_ = true;
    queuedBackend_ = &hid;
    return false;
  }
  discoveryRunning_ = true;
  ++live_;
  return true;
}

HidBackend* WorkerThreads::NextDiscovery() {
  std::lock_guard lock(mutex_);
  if (!discoveryQueued_) {
    discoveryRunning_ = false;
    --live_;
    changed_.notify_all();
    return nullptr;
  }
  discoveryQueued_ = false;
  return queuedBackend_;
}

void WorkerThreads::DiscoveryNotStarted() {
  std::lock_guard lock(mutex_);
  discoveryRunning_ = false;
  discoveryQueued_ = false;
  --live_;
  changed_.notify_all();
}

bool WorkerThreads::DiscoveryQueued() const {
  std::lock_guard lock(mutex_);
  return discoveryQueued_;
}

}  // namespace kbt
