#include "ui/qt/hidraw_events.h"

#include <QSocketNotifier>

#include "device/linux/hid_linux.h"

namespace kbt {

HidrawEvents::HidrawEvents(QObject* parent) : QObject(parent) {}

HidrawEvents::~HidrawEvents() = default;

bool HidrawEvents::Start(DeviceEventSink sink) {
  if (monitor_) return true;
  std::unique_ptr<HidrawMonitor> monitor;
  if (!HidrawMonitor::Open(monitor) || !monitor) return false;
  monitor_ = std::move(monitor);
  sink_ = std::move(sink);
  notifier_ = new QSocketNotifier(monitor_->Fd(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &HidrawEvents::ReadReady);
  return true;
}

void HidrawEvents::ReadReady() {
  for (const DeviceEvent& event : monitor_->ReadEvents()) sink_(event);
}

}  // namespace kbt
