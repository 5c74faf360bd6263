// keyboard-update-station-demo: the station window over eight simulated
// keyboards (--places N: N), swapped by a scripted operator that unplugs
// each unit shown done and plugs in the next one a moment later.
//   keyboard-update-station-demo [--log FILE] [--places N] [FILE.hex]
//   keyboard-update-station-demo --screenshots DIR   saves the window as
//       DIR/station-{updating,done,mixed}.png while the units at sim-6 fail,
//       then ends; with --places N other than 8, as DIR/station-N.png once
//       every place is updating, on a window as large as the screen
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/station_app.h"
#include "sim/sim_hub.h"
#include "sim/sim_operator.h"

namespace {

using kbt::SlotState;

int Count(const kbt::StationStatus& status, SlotState state, int minSteps = 0) {
  int n = 0;
  for (const kbt::StationTile& t : status.tiles)
    if (t.slot.state == state && t.steps >= minSteps) ++n;
  return n;
}

// The eight places' pictures, each once, when the tiles first show what it
// is meant to show.
struct Screenshots {
  bool updating = false, done = false, mixed = false;
  // Units shown done before every first unit is: the operator takes them
  // away only once the picture of all eight done is taken (on a busy
  // machine the first ones would be gone before the last one is done).
  std::vector<std::string> held;
};

void TakeScreenshots(kbt::StationWindow& window, const kbt::StationStatus& status,
                     const QString& dir, QApplication& app, Screenshots& shots) {
  bool& updating = shots.updating;
  bool& done = shots.done;
  bool& mixed = shots.mixed;
  auto save = [&](bool& taken, const char* name) {
    taken = true;
    window.grab().save(dir + QStringLiteral("/station-") + QString::fromLatin1(name) +
                       QStringLiteral(".png"));
  };
  // Every place well into its program pass.
  if (!updating && Count(status, SlotState::Updating, 6) == 8) save(updating, "updating");
  // Every first unit finished: green ones, the red one, all marked UNPLUG.
  if (!done && Count(status, SlotState::DoneUnplug) == 8) save(done, "done");
  // Second units: waiting, updating and done places at once.
  if (done && !mixed && Count(status, SlotState::Waiting) > 0 &&
      Count(status, SlotState::Updating, 3) > 0 && Count(status, SlotState::DoneUnplug) > 0)
    save(mixed, "mixed");
  if (updating && done && mixed) QTimer::singleShot(0, &app, &QApplication::quit);
}

// A large station's one picture: every place well into its program pass.
void TakeLargeStationScreenshot(kbt::StationWindow& window, const kbt::StationStatus& status,
                                const QString& dir, int places, QApplication& app) {
  static bool taken = false;
  if (taken || Count(status, SlotState::Updating, 6) != places) return;
  taken = true;
  window.grab().save(dir + QStringLiteral("/station-%1.png").arg(places));
  QTimer::singleShot(0, &app, &QApplication::quit);
}

}  // namespace

int main(int argc, char** argv) {
  const kbt::StationArguments args =
      kbt::ParseStationArguments(std::vector<std::string>(argv + 1, argv + argc), true);
  if (args.action != kbt::StationArguments::Action::Run)
    return kbt::FinishStationWithoutWindow(args, "keyboard-update-station-demo", true);
  const QString shots = QString::fromStdString(args.screenshots);

  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName(QStringLiteral("keyboard-update-station-demo"));

  kbt::DeviceEventQueue events;  // outlives the hub that feeds it
  kbt::sim::SimBusOptions bus;
  bus.reenumerateDelayMs = 300;
  // Slower than a USB link, so that the bars can be watched moving.
  bus.latency = [](std::size_t) { return std::chrono::microseconds(60000); };
  kbt::sim::SimHub hub(args.places, kbt::sim::SimMode::Normal, bus);
  const bool eight = args.places == 8;
  if (!shots.isEmpty() && eight) {
    kbt::sim::SimFaults fault;
    fault.rejectBlock = 3;  // every write of block 3 fails: the run fails
    hub.Keyboard(6).SetFaults(fault);
  }
  hub.SetEventCallback([&events](const kbt::DeviceEvent& e) { events.Push(e); });
  std::unique_ptr<kbt::sim::SimOperator> op;
  if (!shots.isEmpty()) QTimer::singleShot(60000, &app, &QApplication::quit);  // never hang

  Screenshots taken;
  kbt::StationProgram program;
  program.hid = &hub;
  program.events = &events;
  program.beforeRun = [&](kbt::StationWindow& window) {
    if (args.places > 8 && window.screen())
      window.resize(window.screen()->availableGeometry().size());
    op = std::make_unique<kbt::sim::SimOperator>(hub);
    window.onEvent = [&op, &window, &shots, &app, &args, eight, &taken](
                         const kbt::StationStatus& status, const kbt::StationEvent& e) {
      const bool holding = !shots.isEmpty() && eight && !taken.done;
      if (e.kind == kbt::StationEvent::Kind::Done && op) {
        if (holding)
          taken.held.push_back(e.location);
        else
          op->UnitDone(e.location);
      }
      if (shots.isEmpty()) return;
      if (eight) {
        TakeScreenshots(window, status, shots, app, taken);
        if (holding && taken.done && op)
          for (const std::string& location : std::exchange(taken.held, {}))
            op->UnitDone(location);
      } else
        TakeLargeStationScreenshot(window, status, shots, args.places, app);
    };
  };
  const int code = kbt::RunStationProgram(app, args, program);
  op.reset();
  return code;
}
