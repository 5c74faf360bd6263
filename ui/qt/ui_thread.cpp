#include "ui/qt/ui_thread.h"

#include <QMetaObject>

namespace kbt {

UiThread::UiThread() : thread_(QThread::currentThread()), receiver_(new QObject) {}

UiThread::~UiThread() {
  // The last owner may be a worker. Deleting the receiver drops its pending
  // calls and releases any caller still blocked in Call().
  if (IsCurrent())
    delete receiver_;
  else
    receiver_->deleteLater();
}

void UiThread::Post(std::function<void()> fn) {
  QMetaObject::invokeMethod(receiver_, std::move(fn), Qt::QueuedConnection);
}

void UiThread::Call(std::function<void()> fn) {
  if (IsCurrent()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(receiver_, std::move(fn), Qt::BlockingQueuedConnection);
}

}  // namespace kbt
