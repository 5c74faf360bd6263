// Runs functions on the user-interface thread from any thread. Workers keep
// a shared_ptr to it, so it outlives every call in progress; the window it
// serves may be gone by the time a posted function runs, which is why the
// functions check QPointers to the widgets they touch.
#pragma once

#include <QObject>
#include <QThread>
#include <functional>

namespace kbt {

class UiThread {
 public:
  UiThread();  // on the user-interface thread
  ~UiThread();
  UiThread(const UiThread&) = delete;
  UiThread& operator=(const UiThread&) = delete;

  bool IsCurrent() const { return QThread::currentThread() == thread_; }

  // Queues `fn` and returns at once.
  void Post(std::function<void()> fn);
  // Runs `fn` there and returns when it has run; directly when called on
  // that thread, which must never wait for itself. Returns early, without
  // running `fn`, when the receiver is destroyed first.
  void Call(std::function<void()> fn);

 private:
  QThread* thread_;
  QObject* receiver_;
};

}  // namespace kbt
