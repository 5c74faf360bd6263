#include "app/qt_app.h"

#include <QIcon>
#include <cstdio>
#include <cstdlib>

#include "ui/status_outputs.h"

namespace kbt {

void PrepareApplication(QApplication& app) {
  QApplication::setApplicationName(QStringLiteral("keyboard-update-tool"));
  QApplication::setApplicationVersion(QStringLiteral("1.0.0.4"));
  QApplication::setDesktopFileName(QStringLiteral("keyboard-update-tool"));
  (void)app;
}

void RunDialogAndExit(HidBackend& hid, DeviceEventRegistration registration,
                      ControllerWorkers workers,
                      const std::function<void(MainDialog&)>& beforeShow) {
  {
    MainDialog dialog(hid, std::move(registration), std::move(workers));
    QApplication::setWindowIcon(dialog.windowIcon());
    dialog.Initialize();
    if (beforeShow) beforeShow(dialog);
    dialog.exec();
  }
  RemoveStatusOutputs();
  std::fflush(nullptr);
  std::_Exit(0);
}

}  // namespace kbt
