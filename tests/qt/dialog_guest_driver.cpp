// dialog-guest-driver: the real dialog, as keyboard-update-tool starts it
// (the Linux HID layer and the hidraw monitor), with a small test driver
// inside it, for the real-kernel guest (tools/vm/guest.d/30-qt-dialog.sh).
// The driver only watches and clicks, as an operator would:
//   - prints every change of the Start button, one line each:
//     "dialog <ms since start> ms: <colour> <enabled|disabled>";
//   - clicks Start once, the first time the button is yellow and enabled;
//   - after a result colour (green or red), ends the program with 0 once the
//     button is back to light grey (the removal reset);
//   - prints the text of an error box and ends with 1.
// Ends with 1 if that has not happened within --timeout seconds (default
// 150). The dialog finds its .hex file beside the program, as the tool does.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/qt_app.h"
#include "device/platform_hid.h"
#include "ui/qt/hidraw_events.h"
#include "ui/qt/main_dialog.h"
#include "ui/qt/status_button_widget.h"
#include "ui/status_button.h"

namespace kbt {
namespace {

const auto g_start = std::chrono::steady_clock::now();

long long SinceStart() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               g_start)
      .count();
}

const char* ColourName(ColorRef colour) {
  switch (colour) {
    case kColorLightGrey:
      return "grey";
    case kColorYellow:
      return "yellow";
    case kColorGreen:
      return "green";
    case kColorRed:
      return "red";
  }
  return "other";
}

class Driver : public QObject {
 public:
  explicit Driver(MainDialog& dialog) : dialog_(dialog) {
    connect(&poll_, &QTimer::timeout, this, &Driver::Step);
    poll_.start(20);
  }

 private:
  void Step() {
    // An error box would wait for an operator: say what it says, end.
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      std::printf("dialog %lld ms: error box \"%s\"\n", SinceStart(), qPrintable(box->text()));
      std::fflush(stdout);
      std::_Exit(1);
    }
    const ColorRef fill = g_ButtonFillColor.load();
    const bool enabled = dialog_.StartButton()->isEnabled();
    if (fill == shownFill_ && enabled == shownEnabled_) return;
    shownFill_ = fill;
    shownEnabled_ = enabled;
    std::printf("dialog %lld ms: %s %s\n", SinceStart(), ColourName(fill),
                enabled ? "enabled" : "disabled");
    std::fflush(stdout);
    if (fill == kColorYellow && enabled && !clicked_) {
      clicked_ = true;
      std::printf("dialog %lld ms: click Start\n", SinceStart());
      std::fflush(stdout);
      dialog_.StartButton()->click();
    } else if (fill == kColorGreen || fill == kColorRed) {
      result_ = true;
    } else if (fill == kColorLightGrey && result_) {
      std::printf("dialog %lld ms: reset after the result\n", SinceStart());
      std::fflush(stdout);
      std::_Exit(0);
    }
  }

  MainDialog& dialog_;
  QTimer poll_;
  ColorRef shownFill_ = 0xFFFFFFFF;  // no colour: the first poll prints
  bool shownEnabled_ = false;
  bool clicked_ = false;
  bool result_ = false;
};

}  // namespace
}  // namespace kbt

int main(int argc, char** argv) {
  int timeout = 150;
  if (argc == 3 && std::strcmp(argv[1], "--timeout") == 0) timeout = std::atoi(argv[2]);
  if (argc != 1 && !(argc == 3 && timeout > 0)) {
    std::fprintf(stderr, "usage: dialog-guest-driver [--timeout SECONDS]\n");
    return 2;
  }
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  kbt::PrepareApplication(app);
  kbt::HidBackend& hid = *kbt::MakePlatformHidBackend().release();
  auto* events = new kbt::HidrawEvents(&app);
  kbt::DeviceEventRegistration registration = [events](kbt::DeviceEventSink sink) {
    events->Start(std::move(sink));
  };
  QTimer::singleShot(timeout * 1000, [] {
    std::printf("dialog %lld ms: timed out\n", kbt::SinceStart());
    std::fflush(stdout);
    std::_Exit(1);
  });
  kbt::UpdateCounter counter;  // the program's; the process ends before main returns
  kbt::RunDialogAndExit(hid, counter, std::move(registration), kbt::ControllerWorkers::Real(),
                        [](kbt::MainDialog& dialog) { new kbt::Driver(dialog); });
}
