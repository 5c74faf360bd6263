// A whole program that closes its dialog with Esc while an update worker is
// still busy calling the status outputs. It must end at once with exit code
// 0: the start-up does not wait for workers, and no worker reaches a widget
// once the window is gone. ctest's time-out catches a hang.
#include <QApplication>
#include <QKeyEvent>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "app/qt_app.h"
#include "device/empty_hid.h"
#include "device/update_counter.h"
#include "dialog/dialog_state.h"
#include "ui/qt/status_button_widget.h"
#include "ui/status_outputs.h"

namespace {

using NoHid = kbt::EmptyHidBackend;

std::atomic<int> g_WorkerCalls{0};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  static NoHid hid;

  kbt::ControllerWorkers workers;
  workers.discovery = [](const std::shared_ptr<kbt::DialogState>&, kbt::HidBackend&) {};
  // An update that never ends by itself and keeps the window busy.
  workers.update = [](const std::shared_ptr<kbt::DialogState>&, kbt::HidBackend&,
                      std::unique_lock<std::mutex> image) {
    std::thread([image = std::move(image)]() mutable {
      for (;;) {
        kbt::ProgressStep();
        kbt::SetButtonColor(g_WorkerCalls % 2 ? kbt::kColorYellow : kbt::kColorRed);
        kbt::EnableStartButton(false);
        ++g_WorkerCalls;
      }
    }).detach();
  };

  static kbt::UpdateCounter counter;
  kbt::RunDialogAndExit(hid, counter, {}, workers, [](kbt::MainDialog& dialog) {
    dialog.show();
    dialog.SetFileNameText(std::filesystem::path(KB_SOURCE_DIR "/res/demo/firmware.hex").wstring());
    dialog.State().WriteDevicePaths({L"/dev/hidraw0", L"/dev/hidraw1"});
    dialog.State().deviceReady = true;
    kbt::SetButtonColor(kbt::kColorYellow);
    kbt::EnableStartButton(true);
    QTimer::singleShot(50, &dialog, [&dialog] { dialog.StartButton()->click(); });
    auto* esc = new QTimer(&dialog);
    QObject::connect(esc, &QTimer::timeout, &dialog, [&dialog] {
      if (g_WorkerCalls < 100) return;  // the update is well under way
      std::printf("closing after %d worker calls\n", g_WorkerCalls.load());
      std::fflush(stdout);
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(&dialog, &press);
    });
    esc->start(20);
  });
}
