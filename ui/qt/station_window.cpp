#include "ui/qt/station_window.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QFrame>
#include <QGridLayout>
#include <QPointer>
#include <QProgressBar>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>

#include "ui/qt/status_button_widget.h"
#include "ui/qt/ui_thread.h"
#include "ui/status_outputs.h"

namespace kbt {
namespace {

constexpr int kBarSteps = UpdateSession::kRunSteps;
constexpr int kTileSpacing = 6;
// A tile's least size; compact tiles from this many places on.
constexpr QSize kTileSize(220, 150);
constexpr QSize kCompactTileSize(146, 100);
constexpr int kCompactFrom = 17;

QString Seconds(std::int64_t ms) {
  return QString::number(static_cast<double>(ms) / 1000.0, 'f', 1) + QStringLiteral(" s");
}

ColorRef TileColor(const StationSlot& slot) {
  switch (slot.state) {
    case SlotState::Waiting:
      return kColorLightGrey;
    case SlotState::Updating:
      return kColorYellow;
    case SlotState::Finished:
    case SlotState::DoneUnplug:
      return slot.pass.value_or(false) ? kColorGreen : kColorRed;
  }
  return kColorLightGrey;
}

// "Database: connected to u@h:5432/line", or away since when, why, and the
// rows of the log that wait for it.
QString DatabaseText(const UnitStoreStatus& d) {
  if (d.state == UnitStoreStatus::State::Connected) {
    QString text =
        QStringLiteral("Database: connected to %1").arg(QString::fromStdString(d.server));
    if (d.waiting > 0) text += QStringLiteral(", sending %1 rows").arg(d.waiting);
    return text;
  }
  const QDateTime since = QDateTime::fromMSecsSinceEpoch(
      std::chrono::duration_cast<std::chrono::milliseconds>(d.awaySince.time_since_epoch())
          .count());
  return QStringLiteral("Database %1 away since %2 (%3): %4 rows waiting in the log")
      .arg(QString::fromStdString(d.server), since.toString(QStringLiteral("HH:mm:ss")),
           QString::fromStdString(d.reason))
      .arg(d.waiting);
}

}  // namespace

// Runs on the runner's threads: hands a copy of each status to the window.
class StationWindow::PostingSink : public StationSink {
 public:
  PostingSink(std::shared_ptr<UiThread> ui, StationWindow* window)
      : ui_(std::move(ui)), window_(window) {}
  void Update(const StationStatus& status, const StationEvent& event) override {
    QPointer<StationWindow> window(window_);
    StationEvent copy = event;
    copy.result = nullptr;  // points into the runner's thread
    ui_->Post([window, status, copy] {
      if (!window) return;
      window->Show(status);
      if (window->onEvent) window->onEvent(status, copy);
    });
  }

 private:
  std::shared_ptr<UiThread> ui_;
  StationWindow* window_;
};

StationTileWidget::StationTileWidget(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::Box);
  setLineWidth(1);
  setAutoFillBackground(true);
  auto* layout = new QVBoxLayout(this);
  location_ = new QLabel(this);
  unit_ = new QLabel(this);
  state_ = new QLabel(this);
  state_->setWordWrap(true);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, kBarSteps);
  bar_->setTextVisible(false);
  unplug_ = new QLabel(QStringLiteral("UNPLUG"), this);
  unplug_->setAlignment(Qt::AlignCenter);
  compact_ = true;  // so that the call below sets every size
  SetCompact(false);
  layout->addWidget(location_);
  layout->addWidget(unit_);
  layout->addWidget(state_);
  layout->addWidget(bar_);
  layout->addWidget(unplug_);
  layout->addStretch();
}

void StationTileWidget::SetCompact(bool compact) {
  if (compact == compact_) return;
  compact_ = compact;
  setMinimumSize(compact ? kCompactTileSize : kTileSize);
  layout()->setContentsMargins(compact ? QMargins(6, 4, 6, 4) : QMargins(9, 9, 9, 9));
  layout()->setSpacing(compact ? 2 : 6);
  QFont big = font();
  big.setPointSize(big.pointSize() + (compact ? 2 : 6));
  big.setBold(true);
  location_->setFont(big);
  QFont mark = big;
  mark.setPointSize(big.pointSize() + (compact ? 1 : 4));
  unplug_->setFont(mark);
  unplug_->setStyleSheet(compact
                             ? QStringLiteral("QLabel { border: 2px solid black; }")
                             : QStringLiteral("QLabel { border: 3px solid black; padding: 2px; }"));
  bar_->setMaximumHeight(compact ? 10 : QWIDGETSIZE_MAX);
}

void StationTileWidget::Show(const StationTile& tile) {
  const StationSlot& slot = tile.slot;
  QPalette p = palette();
  p.setColor(QPalette::Window, ToQColor(TileColor(slot)));
  p.setColor(QPalette::WindowText, Qt::black);
  setPalette(p);
  location_->setText(QString::fromStdString(slot.location));
  QString unit;
  if (slot.unit > 0 && slot.state != SlotState::Waiting) {
    unit = QStringLiteral("unit %1").arg(slot.unit);
    if (!slot.serial.empty()) unit += QStringLiteral("  ") + QString::fromStdString(slot.serial);
  }
  unit_->setText(unit);
  QString state;
  switch (slot.state) {
    case SlotState::Waiting:
      state = slot.present ? QStringLiteral("waiting (not taken)") : QStringLiteral("waiting");
      break;
    case SlotState::Updating:
      state = QStringLiteral("updating: ") + QString::fromStdString(tile.activity);
      break;
    case SlotState::Finished:
    case SlotState::DoneUnplug:
      state = slot.pass.value_or(false)
                  ? QStringLiteral("PASS  ") + Seconds(slot.endedAtMs - slot.startedAtMs)
                  : QStringLiteral("FAIL: ") + QString::fromStdString(slot.reason);
      break;
  }
  state_->setText(state);
  bar_->setVisible(slot.state == SlotState::Updating);
  bar_->setValue(tile.steps > kBarSteps ? kBarSteps : tile.steps);
  unplug_->setVisible(slot.state == SlotState::DoneUnplug);
}

StationWindow::StationWindow(QString firmware, QString logPath, QWidget* parent)
    : QWidget(parent), ui_(std::make_shared<UiThread>()) {
  sink_ = std::make_unique<PostingSink>(ui_, this);
  setWindowTitle(QStringLiteral("Keyboard Update Station"));
  auto* layout = new QVBoxLayout(this);
  auto* header =
      new QLabel(QStringLiteral("Firmware: %1\nResults log: %2").arg(firmware, logPath), this);
  header->setTextInteractionFlags(Qt::TextSelectableByMouse);
  totals_ = new QLabel(this);
  QFont big = totals_->font();
  big.setPointSize(big.pointSize() + 6);
  big.setBold(true);
  totals_->setFont(big);
  state_ = new QLabel(this);
  // The tiles scroll, the header, totals and state line stay in view.
  auto* tiles = new QWidget;
  auto* tilesLayout = new QVBoxLayout(tiles);
  tilesLayout->setContentsMargins(0, 0, 0, 0);
  database_ = new QLabel(this);
  database_->setWordWrap(true);
  database_->setVisible(false);
  grid_ = new QGridLayout;
  grid_->setSpacing(kTileSpacing);
  tilesLayout->addLayout(grid_);
  tilesLayout->addStretch(1);  // the tiles keep their height; the space is left below
  scroll_ = new QScrollArea(this);
  scroll_->setWidget(tiles);
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  layout->addWidget(header);
  layout->addWidget(totals_);
  layout->addWidget(database_);
  layout->addWidget(scroll_, 1);
  layout->addWidget(state_);
  Show({});
}

StationSink* StationWindow::Sink() {
  return sink_.get();
}

StationWindow::~StationWindow() {
  StopRunner();
}

void StationWindow::Start(StationRunner& runner) {
  runner_ = &runner;
  thread_ = std::thread([&runner] { runner.Run(); });
}

void StationWindow::Show(const StationStatus& status) {
  for (const StationTile& tile : status.tiles) {
    const QString location = QString::fromStdString(tile.slot.location);
    StationTileWidget*& widget = tiles_[location];
    if (!widget) {
      widget = new StationTileWidget(scroll_->widget());
      order_.push_back(widget);
      columns_ = 0;  // laid out anew below
    }
    widget->Show(tile);
  }
  if (columns_ == 0 && !order_.empty()) LayOutTiles();
  totals_->setText(QStringLiteral("PASS %1    FAIL %2    %3 units/hour")
                       .arg(status.passed)
                       .arg(status.failed)
                       .arg(status.unitsPerHour, 0, 'f', 1));
  QString state;
  if (status.tiles.empty()) state = QStringLiteral("Waiting for keyboards...");
  if (!status.taking)
    state = status.running > 0 ? QStringLiteral("Stopping: finishing the runs in progress")
                               : QStringLiteral("Stopped: no new units are taken");
  state_->setText(state);
  if (status.database) {
    const bool away = status.database->state == UnitStoreStatus::State::Away;
    database_->setText(DatabaseText(*status.database));
    database_->setStyleSheet(away ? QStringLiteral("QLabel { color: #b00000; font-weight: bold; }")
                                  : QString());
    database_->setVisible(true);
  }
}

void StationWindow::LayOutTiles() {
  compact_ = static_cast<int>(order_.size()) >= kCompactFrom;
  for (StationTileWidget* tile : order_) tile->SetCompact(compact_);
  const int tileWidth = (compact_ ? kCompactTileSize : kTileSize).width() + kTileSpacing;
  // From the window's own width: the scroll area has not been resized yet
  // when the window's resize event comes.
  const QMargins margins = layout()->contentsMargins();
  const int width = this->width() - margins.left() - margins.right() -
                    scroll_->verticalScrollBar()->sizeHint().width();
  const int columns =
      std::clamp(width / tileWidth, 1, std::max(1, static_cast<int>(order_.size())));
  if (columns == columns_) return;
  for (int c = 0; c < grid_->columnCount(); ++c) grid_->setColumnStretch(c, 0);
  for (StationTileWidget* tile : order_) grid_->removeWidget(tile);
  for (std::size_t n = 0; n < order_.size(); ++n) {
    const int i = static_cast<int>(n);
    grid_->addWidget(order_[n], i / columns, i % columns);
  }
  for (int c = 0; c < columns; ++c) grid_->setColumnStretch(c, 1);
  columns_ = columns;
}

void StationWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (!order_.empty()) LayOutTiles();
}

void StationWindow::StopRunner() {
  if (!thread_.joinable()) return;
  // Runs in progress are cancelled before their next report and recorded
  // as interrupted: the window does not outlive its runs.
  runner_->RequestStop();
  runner_->RequestAbort();
  thread_.join();
}

void StationWindow::closeEvent(QCloseEvent* event) {
  StopRunner();
  event->accept();
}

}  // namespace kbt
