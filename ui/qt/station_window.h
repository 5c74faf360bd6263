// The station window: one tile per location, coloured like the dialog's
// Start button (light grey waiting, yellow updating with its progress,
// green PASS, red FAIL, and a clear UNPLUG mark once the finished unit can
// go), the totals, the units per hour, the results log's path and, with a
// database, its state (connected, or away since when with the rows
// waiting). It shows
// what the core's station runner reports and decides nothing: the runner
// runs on a thread of its own, its sink posts each status to this window.
//
// The tiles fill as many columns as the window's width holds and scroll
// when their rows do not fit; past 16 places they are drawn smaller, so
// that a bench of 64 places shows 8 by 8 on a 1280 x 1024 screen.
#pragma once

#include <QLabel>
#include <QMap>
#include <QWidget>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "station/station_runner.h"

class QGridLayout;
class QProgressBar;
class QResizeEvent;
class QScrollArea;

namespace kbt {

class UiThread;

class StationTileWidget : public QFrame {
 public:
  explicit StationTileWidget(QWidget* parent = nullptr);
  void Show(const StationTile& tile);
  // Smaller type and size, for a station of many places.
  void SetCompact(bool compact);

 private:
  QLabel* location_;
  QLabel* unit_;
  QLabel* state_;
  QProgressBar* bar_;
  QLabel* unplug_;
  bool compact_ = false;
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
  void resizeEvent(QResizeEvent* event) override;

 private:
  class PostingSink;
  void StopRunner();
  // Puts the tiles into as many columns as the scroll area's width holds.
  void LayOutTiles();

  std::shared_ptr<UiThread> ui_;
  std::unique_ptr<PostingSink> sink_;
  QScrollArea* scroll_;
  QGridLayout* grid_;
  QLabel* totals_;
  QLabel* state_;
  QLabel* database_;
  QMap<QString, StationTileWidget*> tiles_;
  std::vector<StationTileWidget*> order_;  // as the locations first came
  int columns_ = 0;
  bool compact_ = false;
  StationRunner* runner_ = nullptr;
  std::thread thread_;
};

}  // namespace kbt
