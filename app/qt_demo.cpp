// keyboard-update-tool-demo: the same dialog over the simulated keyboard, so
// that the whole cycle can be watched and repeated without hardware. A
// keyboard in normal operation is plugged in a moment after start; the
// dialog switches it into update mode, and after each update the keyboard
// is unplugged and plugged in again after a pause, unless it already left
// the bus and came back by itself.
//
//   keyboard-update-tool-demo [FILE.hex]         run until the window closes
//   keyboard-update-tool-demo --screenshots DIR  press Start by itself, save
//       the window grey, yellow, green and red (the second run is made to
//       fail) as DIR/dialog-<colour>.png, then end
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/qt_app.h"
#include "dialog/dialog_state.h"
#include "sim/sim_bus.h"
#include "ui/qt/main_dialog.h"
#include "ui/qt/status_button_widget.h"
#include "ui/status_button.h"

namespace kbt {
namespace {

using namespace std::chrono_literals;

constexpr auto kPlugInAfter = 1500ms;
constexpr auto kPauseAfterRun = 3s;
constexpr auto kUnpluggedFor = 2s;
constexpr unsigned kReenumerateMs = 800;
// The simulated keyboard leaves the bus the instant it takes the Finish
// command; a host learns of a device that went away only at the hub's next
// report, and then the system's own handling follows. The demo hands device
// events on after this pause, in their order, so that the run's result
// colour can be seen before the removal resets the window.
constexpr auto kHostNoticeDelay = 1500ms;

// Device events, handed on to the dialog after kHostNoticeDelay, in order.
class DelayedEvents : public QObject {
 public:
  explicit DelayedEvents(QObject* parent) : QObject(parent) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &DelayedEvents::Deliver);
  }
  void SetSink(DeviceEventSink sink) { sink_ = std::move(sink); }

  // Any thread.
  void Push(const DeviceEvent& event) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back({std::chrono::steady_clock::now() + kHostNoticeDelay, event});
    }
    QMetaObject::invokeMethod(
        this, [this] { Arm(); }, Qt::QueuedConnection);
  }

 private:
  struct Due {
    std::chrono::steady_clock::time_point at;
    DeviceEvent event;
  };

  void Arm() {
    std::lock_guard lock(mutex_);
    if (queue_.empty() || timer_.isActive()) return;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
        queue_.front().at - std::chrono::steady_clock::now());
    timer_.start(static_cast<int>(std::max<long long>(0, wait.count())));
  }

  void Deliver() {
    const auto now = std::chrono::steady_clock::now();
    for (;;) {
      DeviceEvent event;
      {
        std::lock_guard lock(mutex_);
        if (queue_.empty() || queue_.front().at > now) break;
        event = queue_.front().event;
        queue_.pop_front();
      }
      if (sink_) sink_(event);
    }
    Arm();
  }

  QTimer timer_;
  std::mutex mutex_;
  std::deque<Due> queue_;
  DeviceEventSink sink_;
};

// Unplugs and plugs in again after a run, unless the keyboard re-enumerated
// by itself meanwhile (a successful Finish restarts it).
void CycleAfterRun(sim::SimBus& bus, DialogState& state) {
  { std::lock_guard image(state.imageMutex); }  // the run has let the image go
  const std::vector<DevicePath> atEnd = bus.Paths();
  std::this_thread::sleep_for(kPauseAfterRun);
  if (bus.Paths() != atEnd) return;
  bus.Unplug();
  std::this_thread::sleep_for(kUnpluggedFor);
  bus.PlugIn();
}

// The screenshot run: watches the button (polling is fine for a recorder)
// and saves the window at each colour.
class Recorder : public QObject {
 public:
  Recorder(MainDialog& dialog, sim::SimBus& bus, QString dir)
      : dialog_(&dialog), bus_(bus), dir_(std::move(dir)) {
    QDir().mkpath(dir_);
    connect(&poll_, &QTimer::timeout, this, &Recorder::Step);
    poll_.start(50);
    QTimer::singleShot(60000, this, [] {
      std::fprintf(stderr, "screenshots: timed out\n");
      std::fflush(nullptr);
      std::_Exit(1);
    });
  }

 private:
  bool Shoot(const char* colour) {
    QPixmap picture;
    if (QScreen* screen = dialog_->screen()) picture = screen->grabWindow(dialog_->winId());
    if (picture.isNull()) picture = dialog_->grab();
    const QString path = dir_ + QStringLiteral("/dialog-%1.png").arg(QLatin1String(colour));
    const bool ok = picture.save(path);
    std::printf("%s %s\n", ok ? "saved" : "could not save", qPrintable(path));
    std::fflush(stdout);
    return ok;
  }

  bool Ready() const {
    return dialog_->StartButton()->isEnabled() && g_ButtonFillColor.load() == kColorYellow;
  }

  void Step() {
    if (!dialog_) return;
    const ColorRef fill = g_ButtonFillColor.load();
    ++ticks_;
    switch (stage_) {
      case 0:  // grey, before the keyboard is plugged in
        if (ticks_ >= 10 && dialog_->isVisible()) {
          Shoot("grey");
          stage_ = 1;
        }
        break;
      case 1:
      case 3:
        if (Ready()) {
          if (stage_ == 1) Shoot("yellow");
          if (stage_ == 3) {
            sim::SimFaults faults;
            faults.corruptBlock = 3;  // the read-back of block 3 differs: FAIL
            bus_.SetFaults(faults);
          }
          ++stage_;
          dialog_->StartButton()->click();
        }
        break;
      case 2:
        if (fill == kColorGreen) {
          dialog_->StartButton()->update();
          QTimer::singleShot(100, this, [this] { Shoot("green"); });
          stage_ = 3;
        }
        break;
      case 4:
        if (fill == kColorRed) {
          dialog_->StartButton()->update();
          QTimer::singleShot(100, this, [this] {
            const bool ok = Shoot("red");
            std::fflush(nullptr);
            std::_Exit(ok ? 0 : 1);
          });
          stage_ = 5;
        }
        break;
      default:
        break;
    }
  }

  QPointer<MainDialog> dialog_;
  sim::SimBus& bus_;
  QString dir_;
  QTimer poll_;
  int stage_ = 0;
  int ticks_ = 0;
};

}  // namespace
}  // namespace kbt

int main(int argc, char** argv) {
  using namespace kbt;
  QString screenshots;
  std::vector<std::string> dialogArgs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--screenshots" && i + 1 < argc) {
      screenshots = QString::fromLocal8Bit(argv[++i]);
    } else if (arg == "--help" || arg == "-h") {
      std::printf(
          "usage: keyboard-update-tool-demo [--screenshots DIR] [FILE.hex]\n"
          "The update dialog over a simulated keyboard. Name FILE.hex, or put a .hex\n"
          "file beside the program. --screenshots presses Start by itself and saves\n"
          "the window grey, yellow, green and red into DIR, then ends.\n");
      return 0;
    } else if (arg.empty() || arg.front() != '-') {
      dialogArgs.push_back(arg);
    } else {
      std::fprintf(stderr, "keyboard-update-tool-demo: unknown argument %s (try --help)\n",
                   arg.c_str());
      return 2;
    }
  }

  const DialogArguments parsed = ParseDialogArguments(dialogArgs);
  if (parsed.action != DialogArguments::Action::Run)
    return FinishWithoutWindow(parsed, "keyboard-update-tool-demo");

  // The demo's own options only; Qt sees the program name alone.
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  PrepareApplication(app);

  // The bus lives until the process ends: workers use it to the last.
  sim::SimBusOptions options;
  options.reenumerateDelayMs = kReenumerateMs;
  auto* bus = new sim::SimBus(sim::SimMode::Normal, options);
  bus->Unplug();  // plugged in a moment after the window shows

  auto* delayed = new DelayedEvents(&app);
  DeviceEventRegistration registration = [bus, delayed](DeviceEventSink sink) {
    delayed->SetSink(std::move(sink));
    bus->SetEventCallback([delayed](const DeviceEvent& event) { delayed->Push(event); });
  };

  ControllerWorkers workers = ControllerWorkers::Real();
  auto update = workers.update;
  workers.update = [bus, update](const std::shared_ptr<DialogState>& state, HidBackend& hid,
                                 std::unique_lock<std::mutex> image) {
    update(state, hid, std::move(image));
    std::thread([bus, state] { CycleAfterRun(*bus, *state); }).detach();
  };

  UpdateCounter counter;  // the program's; the process ends before main returns
  RunDialogAndExit(
      *bus, counter, std::move(registration), std::move(workers),
      [bus, screenshots](MainDialog& dialog) {
        QTimer::singleShot(kPlugInAfter, [bus] { bus->PlugIn(); });
        if (!screenshots.isEmpty()) new Recorder(dialog, *bus, screenshots);
      },
      parsed.file);
}
