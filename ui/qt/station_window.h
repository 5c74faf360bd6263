// The station window: one tile per location, coloured like the dialog's
// Start button (light grey waiting, yellow updating with its progress,
// green PASS, red FAIL, and a clear UNPLUG mark once the finished unit can
// go), the totals, the units per hour, the results log's path and, with a
// database, its state (connected, or away since when with the rows
// waiting). It shows
// what the core's station runner reports and decides nothing: the runner
// runs on a thread of its own, its sink posts each status to this window.
#pragma once

#include <QLabel>
#include <QMap>
#include <QWidget>
#include <functional>
#include <memory>
#include <thread>

#include "station/station_runner.h"

class QGridLayout;
class QProgressBar;

namespace kbt {

class UiThread;

class StationTileWidget : public QFrame {
 public:
  explicit StationTileWidget(QWidget* parent = nullptr);
  void Show(const StationTile& tile);

 private:
  QLabel* location_;
  QLabel* unit_;
  QLabel* state_;
  QProgressBar* bar_;
  QLabel* unplug_;
};

class StationWindow : public QWidget {
 public:
  // `runner` is built by the caller over its HID layer, image and log, with
  // Sink() as its sink; the window starts it on a thread of its own.
  StationWindow(QString firmware, QString logPath, QWidget* parent = nullptr);
  ~StationWindow() override;

  StationSink* Sink();
  void Start(StationRunner& runner);
  // Called on the window's thread with every event after it was shown (the
  // simulated operator reads the tiles through it).
  std::function<void(const StationStatus&, const StationEvent&)> onEvent;

  void Show(const StationStatus& status);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  class PostingSink;
  void StopRunner();

  std::shared_ptr<UiThread> ui_;
  std::unique_ptr<PostingSink> sink_;
  QGridLayout* grid_;
  QLabel* totals_;
  QLabel* state_;
  QLabel* database_;
  QMap<QString, StationTileWidget*> tiles_;
  StationRunner* runner_ = nullptr;
  std::thread thread_;
};

}  // namespace kbt
