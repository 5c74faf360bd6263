// Device events from the kernel's hidraw uevents, read on the
// user-interface thread when the monitor's socket becomes readable: the
// dialog sleeps until a device comes or goes, and polls nothing.
#pragma once

#include <QObject>
#include <memory>

#include "ui/qt/main_dialog.h"

class QSocketNotifier;

namespace kbt {

class HidrawMonitor;

class HidrawEvents : public QObject {
  Q_OBJECT

 public:
  explicit HidrawEvents(QObject* parent = nullptr);
  ~HidrawEvents() override;

  // Opens the monitor and delivers its events to `sink`. False when the
  // monitor cannot be opened; the dialog then runs without device events.
  bool Start(DeviceEventSink sink);

 private:
  void ReadReady();

  std::unique_ptr<HidrawMonitor> monitor_;
  QSocketNotifier* notifier_ = nullptr;
  DeviceEventSink sink_;
};

}  // namespace kbt
