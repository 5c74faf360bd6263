// The station window on the offscreen platform: its tiles take the Start
// button's colours and the UNPLUG mark from the runner's status, the
// database's state is shown as the runner reports it, closing it during
// runs ends them, recorded as interrupted; the tiles fill the window's
// width and scroll.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QScrollArea>
#include <QTest>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "device/device_events.h"
#include "image/firmware_image.h"
#include "sim/sim_hub.h"
#include "station/station_runner.h"
#include "ui/qt/station_window.h"
#include "ui/qt/status_button_widget.h"
#include "ui/status_outputs.h"

namespace kbt {
namespace {

StationTile Tile(const char* location, SlotState state, std::optional<bool> pass = {}) {
  StationTile t;
  t.slot.location = location;
  t.slot.state = state;
  t.slot.unit = 1;
  t.slot.pass = pass;
  t.slot.present = true;
  t.steps = 5;
  t.activity = "program block 3";
  return t;
}

// The tiles in the order they were made (they have no meta-object of their
// own, so findChildren cannot tell them from other frames).
std::vector<StationTileWidget*> Tiles(QWidget& window) {
  std::vector<StationTileWidget*> out;
  for (QFrame* frame : window.findChildren<QFrame*>())
    if (auto* tile = dynamic_cast<StationTileWidget*>(frame)) out.push_back(tile);
  return out;
}

TEST(StationWindow, TilesTakeTheStartButtonColoursAndTheUnplugMark) {
  StationWindow window(QStringLiteral("FW.hex"), QStringLiteral("/tmp/r.csv"));
  StationStatus status;
  status.tiles = {Tile("sim-1", SlotState::Waiting), Tile("sim-2", SlotState::Updating),
                  Tile("sim-3", SlotState::Finished, true),
                  Tile("sim-4", SlotState::DoneUnplug, false)};
  window.Show(status);
  const struct {
    ColorRef colour;
    bool unplug;
  } want[] = {
      {kColorLightGrey, false}, {kColorYellow, false}, {kColorGreen, false}, {kColorRed, true}};
  const auto tiles = Tiles(window);
  ASSERT_EQ(tiles.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(tiles[i]->palette().color(QPalette::Window), ToQColor(want[i].colour));
    bool unplugShown = false;
    for (QLabel* label : tiles[i]->findChildren<QLabel*>())
      if (label->text() == QStringLiteral("UNPLUG")) unplugShown = !label->isHidden();
    EXPECT_EQ(unplugShown, want[i].unplug);
  }
  // A place seen later gets a tile of its own; the others keep theirs.
  status.tiles.push_back(Tile("sim-5", SlotState::Waiting));
  window.Show(status);
  EXPECT_EQ(Tiles(window).size(), 5u);
}

// The tiles take as many columns as the window's width holds, in the order
// of their places, and the rows that do not fit scroll rather than stretch
// the window.
TEST(StationWindow, TilesFillTheWidthAndScroll) {
  const struct {
    int places;
    QSize window;
    int columns;
    bool scrolls;
  } cases[] = {
      {4, {960, 600}, 4, false},
      {8, {960, 600}, 4, false},
      {64, {1280, 1000}, 8, false},
      {64, {700, 600}, 4, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.places);
    StationWindow window(QStringLiteral("FW.hex"), QStringLiteral("/tmp/r.csv"));
    window.resize(c.window);
    window.show();
    StationStatus status;
    std::vector<std::string> names;
    for (int k = 1; k <= c.places; ++k) names.push_back("sim-" + std::to_string(k));
    for (const std::string& n : names) status.tiles.push_back(Tile(n.c_str(), SlotState::Updating));
    window.Show(status);
    QApplication::processEvents();
    const auto tiles = Tiles(window);
    ASSERT_EQ(tiles.size(), static_cast<std::size_t>(c.places));
    int columns = 0;
    while (columns < c.places && tiles[columns]->y() == tiles[0]->y()) ++columns;
    EXPECT_EQ(columns, c.columns);
    for (int i = 1; i < c.places; ++i)
      EXPECT_TRUE(tiles[i]->y() > tiles[i - 1]->y() || tiles[i]->x() > tiles[i - 1]->x()) << i;
    EXPECT_EQ(window.size(), c.window);
    auto* scroll = window.findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    // The scroll area sizes its widget only after the layouts below it.
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
    EXPECT_EQ(scroll->widget()->height() > scroll->viewport()->height(), c.scrolls);
  }
}

// The line that starts with "Database", if any is shown.
QString DatabaseLine(QWidget& window) {
  for (QLabel* label : window.findChildren<QLabel*>())
    if (!label->isHidden() && label->text().startsWith(QStringLiteral("Database")))
      return label->text();
  return {};
}

TEST(StationWindow, ShowsTheDatabaseAwayWithItsRowsWaitingThenConnected) {
  StationWindow window(QStringLiteral("FW.hex"), QStringLiteral("/tmp/r.csv"));
  window.show();
  StationStatus status;
  window.Show(status);
  EXPECT_EQ(DatabaseLine(window), QString());  // no --db: no line
  UnitStoreStatus d;
  d.server = "line@db1:5432/units";
  d.reason = "server closed the connection";
  d.waiting = 12;
  status.database = d;
  window.Show(status);
  const QString away = DatabaseLine(window);
  EXPECT_TRUE(away.contains(QStringLiteral("line@db1:5432/units away since")))
      << away.toStdString();
  EXPECT_TRUE(away.contains(QStringLiteral("server closed the connection"))) << away.toStdString();
  EXPECT_TRUE(away.contains(QStringLiteral("12 rows waiting"))) << away.toStdString();
  status.database->state = UnitStoreStatus::State::Connected;
  status.database->waiting = 0;
  window.Show(status);
  EXPECT_EQ(DatabaseLine(window), QStringLiteral("Database: connected to line@db1:5432/units"));
}

TEST(StationWindow, ClosingDuringRunsEndsThemAsInterrupted) {
  struct Recorder : UnitRecorder {
    HidResult Record(const StationUnitResult& r) override {
      std::lock_guard lock(mutex);
      reasons.push_back(r.reason);
      return HidResult::Ok();
    }
    std::mutex mutex;
    std::vector<std::string> reasons;
  } recorder;
  std::vector<std::uint8_t> image(kImageSize, 0x5A);
  DeviceEventQueue events;
  sim::SimBusOptions bus;
  bus.reenumerateDelayMs = 20;
  sim::SimHub hub(2, sim::SimMode::Update, bus);
  hub.SetEventCallback([&events](const DeviceEvent& e) { events.Push(e); });
  StationWindow window(QStringLiteral("FW.hex"), QStringLiteral("r.csv"));
  std::uint16_t counter = 1;
  StationRunner runner(hub, &events, image.data(), [&counter] { return counter++; }, &recorder,
                       window.Sink(), {});
  bool running = false;
  window.onEvent = [&](const StationStatus& status, const StationEvent&) {
    running = running || status.running == 2;
  };
  window.show();
  window.Start(runner);
  // The runs wait 2 s after their Begin command: closing comes in that wait.
  ASSERT_TRUE(QTest::qWaitFor([&] { return running; }, 10000));
  const auto closing = std::chrono::steady_clock::now();
  window.close();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(10));
  ASSERT_EQ(recorder.reasons.size(), 2u);
  for (const std::string& reason : recorder.reasons) EXPECT_EQ(reason, "interrupted");
}

}  // namespace
}  // namespace kbt
