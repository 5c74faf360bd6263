#include "app/station_app.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <vector>

#include "device/results_log.h"
#include "device/update_run.h"
#include "image/firmware_image.h"
#include "image/firmware_signature.h"
#include "image/hex_file_location.h"
#include "image/hex_to_bin.h"

namespace kbt {
namespace {

int Refuse(int code, const QString& text) {
  QMessageBox::critical(nullptr, QStringLiteral("Error"), text);
  return code;
}

}  // namespace

int RunStationProgram(QApplication& app, const QStringList& args, const StationProgram& program) {
  QString hexArg;
  QString logPath = QStringLiteral("kbupdate-results.csv");
  for (int i = 0; i < args.size(); ++i) {
    if (args[i] == QStringLiteral("--log") && i + 1 < args.size()) {
      logPath = args[++i];
    } else if (!args[i].startsWith(QLatin1Char('-')) && hexArg.isEmpty()) {
      hexArg = args[i];
    } else {
      return Refuse(2,
                    QStringLiteral("Usage: %1 [--log FILE] [FILE.hex]\n\n'%2' is not understood.")
                        .arg(QApplication::applicationName(), args[i]));
    }
  }

  std::wstring hexPath = hexArg.toStdWString();
  if (hexArg.isEmpty()) {
    const HexFileSearch search = FindHexFile();
    if (!search.found)
      return Refuse(3, QStringLiteral("No .hex file beside the program (%1).")
                           .arg(QString::fromStdWString(search.folder)));
    hexPath = search.path;
  }
  const QString hexName = QString::fromStdWString(hexPath);
  std::vector<std::uint8_t> image(kImageSize, 0);
  if (const HexToBinResult r = HexToBin(hexPath, image.data()); !r.Read())
    return Refuse(
        3, QStringLiteral("Cannot read %1: %2").arg(hexName, QString::fromStdString(r.reason)));
  if (!FindFirmwareSignature(image.data()))
    return Refuse(5, QStringLiteral("%1 holds no firmware signature.").arg(hexName));

  const QString logShown = QFileInfo(logPath).absoluteFilePath();
  std::unique_ptr<ResultsLog> log;
  if (const HidResult r =
          ResultsLog::Open(logPath.toStdString(), QFileInfo(hexName).fileName().toStdString(),
                           Sha256Hex(image.data(), image.size()), log);
      !r)
    return Refuse(4, QStringLiteral("Results log: %1").arg(QString::fromStdString(r.error)));

  StationWindow window(QFileInfo(hexName).fileName(), logShown);
  window.resize(960, 600);
  StationRunnerOptions options;
  StationRunner runner(*program.hid, program.events, image.data(), ProgramUpdateCounter(),
                       log.get(), window.Sink(), options);
  window.show();
  if (program.beforeRun) program.beforeRun(window);
  window.Start(runner);
  const int code = app.exec();
  window.close();  // stops the runner if the window was not closed by hand
  return code;
}

}  // namespace kbt
