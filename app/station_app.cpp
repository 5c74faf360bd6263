#include "app/station_app.h"

#include <QFileInfo>
#include <QMessageBox>
#include <cstdio>

#include "device/update_counter.h"
#include "station/unit_store.h"

namespace kbt {
namespace {

int Refuse(int code, const QString& text) {
  std::fprintf(stderr, "%s: %s\n", qPrintable(QApplication::applicationName()), qPrintable(text));
  QMessageBox::critical(nullptr, QStringLiteral("Error"), text);
  return code;
}

}  // namespace

int RunStationProgram(QApplication& app, const StationArguments& args,
                      const StationProgram& program) {
  StationInputs inputs;
  std::string error;
  if (const int code = PrepareStationInputs(args, inputs, error); code != 0)
    return Refuse(code, QString::fromStdString(error));

  // The database after the log: its sender reads the log that is written.
  std::unique_ptr<UnitStore> store;
  std::unique_ptr<RecordAndSend> sending;
  if (!args.db.empty()) {
    UnitStoreOptions storeOptions;
    storeOptions.conninfo = args.db;
    storeOptions.station = args.stationName.empty() ? HostName() : args.stationName;
    // Called on the sender's thread: the program's name taken here.
    storeOptions.note =
        [program = QApplication::applicationName().toStdString()](const std::string& line) {
          std::fprintf(stderr, "%s: %s\n", program.c_str(), line.c_str());
        };
    std::string why;
    StoreRefusal refusal = StoreRefusal::None;
    store = StartUnitStore(storeOptions, args.log, why, refusal);
    if (!store)
      return Refuse(refusal == StoreRefusal::Usage || refusal == StoreRefusal::NoSupport ? 2 : 4,
                    QString::fromStdString(why));
    if (const UnitStoreStatus s = store->Status(); s.state == UnitStoreStatus::State::Away)
      storeOptions.note("database " + s.server + " cannot be reached (" + s.reason +
                        "); the station starts, the rows wait in " + args.log);
    sending = std::make_unique<RecordAndSend>(*inputs.log, *store);
  }
  UnitRecorder* recorder = sending ? static_cast<UnitRecorder*>(sending.get()) : inputs.log.get();

  StationWindow window(QString::fromStdString(inputs.firmware),
                       QFileInfo(QString::fromStdString(args.log)).absoluteFilePath());
  window.resize(960, 600);
  // The program's update counter: one station runner, one counter.
  UpdateCounter counter;
  StationRunnerOptions options;
  options.database = store.get();
  StationRunner runner(*program.hid, program.events, inputs.image.data(), counter.Source(),
                       recorder, window.Sink(), options);
  window.show();
  if (program.beforeRun) program.beforeRun(window);
  window.Start(runner);
  const int code = app.exec();
  window.close();  // stops the runner if the window was not closed by hand
  if (store) {
    // What waits goes now while it can, briefly; the rest stays in the log
    // for the next start.
    if (const UnitStoreStatus s = store->Status();
        s.waiting > 0 && s.state == UnitStoreStatus::State::Connected)
      std::fprintf(stderr, "%s: database: sending the %zu rows waiting (at most 10 s)\n",
                   qPrintable(QApplication::applicationName()), s.waiting);
    store->Finish(std::chrono::seconds(10));
    if (const std::size_t left = store->Status().waiting; left > 0)
      std::fprintf(stderr,
                   "%s: database: %zu rows still waiting in %s; they go with the next start "
                   "with --db\n",
                   qPrintable(QApplication::applicationName()), left, args.log.c_str());
  }
  return code;
}

}  // namespace kbt
