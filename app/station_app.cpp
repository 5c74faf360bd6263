#include "app/station_app.h"

#include <QFileInfo>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

#include "device/update_counter.h"
#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/hex_file_location.h"
#include "station/results_log.h"
#include "station/unit_store.h"

#ifndef KB_VERSION
#define KB_VERSION "unknown"
#endif

namespace kbt {
namespace {

int Refuse(int code, const QString& text) {
  std::fprintf(stderr, "%s: %s\n", qPrintable(QApplication::applicationName()), qPrintable(text));
  QMessageBox::critical(nullptr, QStringLiteral("Error"), text);
  return code;
}

std::string HelpText(const char* program, bool demo) {
  std::string text = "Usage: ";
  text += program;
  text += demo ? " [--log FILE] [--db CONNINFO [--station-name NAME]] [--places N]"
                 " [--screenshots DIR] [FILE.hex]\n"
               : " [--log FILE] [--db CONNINFO [--station-name NAME]] [FILE.hex]\n";
  text +=
      "\n"
      "The production-line station in a window: every keyboard plugged in is\n"
      "updated with FILE.hex on its own, in parallel, once per unit, and every\n"
      "unit is recorded in the results log. One tile per place shows it: light\n"
      "grey waiting, yellow updating with its progress, green PASS, red FAIL\n"
      "with its reason, and UNPLUG once the finished unit can go; the next\n"
      "keyboard plugged in at an emptied place is the next unit. Above the tiles:\n"
      "the totals, the units per hour and the results log's path. Closing the\n"
      "window cancels the runs in progress; they are recorded as FAIL\n"
      "\"interrupted\".\n"
      "\n"
      "Without FILE.hex the window uses the last *.hex file in the folder that\n"
      "holds the program, as the update dialog does.\n"
      "\n"
      "The results log is the CSV file that `kbupdate station` writes (see\n"
      "kbupdate help station): appended to, the header only into a new or empty\n"
      "file, each line on the disk before its unit is shown finished.\n";
  text +=
      "\n"
      "With --db each unit also goes, in the background, into the PostgreSQL\n"
      "table kbupdate_units, as with kbupdate station --db: the window shows the\n"
      "database connected, or away since when with how many rows waiting in the\n"
      "log; they go once it is back. The password belongs in ~/.pgpass or the\n"
      "PGPASSWORD environment variable, never on the command line.\n";
  if (demo)
    text +=
        "\n"
        "The demo runs over eight simulated keyboards at sim-1 to sim-8 (--places\n"
        "N: sim-1 to sim-N), swapped by a scripted operator that unplugs each unit\n"
        "shown done and plugs in the next one a moment later.\n";
  text +=
      "\n"
      "Options:\n"
      "  --log FILE         the results log (default kbupdate-results.csv in the\n"
      "                     current folder)\n";
  text +=
      "  --db CONNINFO      also into this database (a libpq connection string or\n"
      "                     URI; the PG* environment variables apply)\n"
      "  --station-name NAME  the station column in the database (default: the\n"
      "                     host name)\n";
  if (demo)
    text +=
        "  --places N         N simulated keyboards, 1 to 64 (default 8)\n"
        "  --screenshots DIR  save the window as DIR/station-{updating,done,mixed}.png\n"
        "                     while every unit at sim-6 fails, then end; with\n"
        "                     --places N other than 8, as DIR/station-N.png once\n"
        "                     every place is updating\n";
  text +=
      "  -h, --help         show this help and exit\n"
      "  -V, --version      show the version and exit\n"
      "\n"
      "Exit status:\n"
      "  0  the window was closed\n"
      "  2  wrong command line\n"
      "  3  the firmware file cannot be found or read\n"
      "  4  the results log cannot be opened or has another header, or the\n"
      "     database refused the login or has a table it does not know\n"
      "  5  the firmware file holds no firmware signature\n";
  return text;
}

}  // namespace

StationArguments ParseStationArguments(const std::vector<std::string>& args, bool demo) {
  StationArguments out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      out.action = StationArguments::Action::Help;
      return out;
    }
    if (a == "-V" || a == "--version") {
      out.action = StationArguments::Action::Version;
      return out;
    }
    const bool places = demo && a == "--places";
    std::string* value = a == "--log"                   ? &out.log
                         : demo && a == "--screenshots" ? &out.screenshots
                         : a == "--db"                  ? &out.db
                         : a == "--station-name"        ? &out.stationName
                                                        : nullptr;
    if (value || places) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        out.action = StationArguments::Action::Error;
        out.error = a + " needs a value";
        return out;
      }
      const std::string& given = args[++i];
      if (places) {
        char* end = nullptr;
        const long n = std::strtol(given.c_str(), &end, 10);
        if (*end != '\0' || n < 1 || n > 64) {
          out.action = StationArguments::Action::Error;
          out.error = "--places takes a number from 1 to 64, not '" + given + "'";
          return out;
        }
        out.places = static_cast<int>(n);
      } else {
        *value = given;
      }
    } else if (!a.empty() && a[0] == '-') {
      out.action = StationArguments::Action::Error;
      out.error = "unknown option '" + a + "'";
      return out;
    } else if (out.hex.empty()) {
      out.hex = a;
    } else {
      out.action = StationArguments::Action::Error;
      out.error = "one firmware file only ('" + a + "')";
      return out;
    }
  }
  return out;
}

int FinishStationWithoutWindow(const StationArguments& parsed, const char* program, bool demo) {
  switch (parsed.action) {
    case StationArguments::Action::Help:
      std::fputs(HelpText(program, demo).c_str(), stdout);
      return 0;
    case StationArguments::Action::Version:
      std::printf("%s %s\n", program, KB_VERSION);
      return 0;
    case StationArguments::Action::Error:
      std::fprintf(stderr, "%s: %s (see %s --help)\n", program, parsed.error.c_str(), program);
      return 2;
    case StationArguments::Action::Run:
      break;
  }
  return 0;
}

int RunStationProgram(QApplication& app, const StationArguments& args,
                      const StationProgram& program) {
  std::wstring hexPath = platform::PathFromArgument(args.hex.c_str());
  if (args.hex.empty()) {
    const HexFileSearch search = FindHexFile();
    if (!search.found)
      return Refuse(3, QStringLiteral("No .hex file beside the program (%1).")
                           .arg(QString::fromStdWString(search.folder)));
    hexPath = search.path;
  }
  const QString hexName = QString::fromStdWString(hexPath);
  std::vector<std::uint8_t> image(kImageSize, 0);
  if (const FirmwareLoadResult r = LoadFirmware(hexPath, image.data()); !r.Loaded()) {
    if (r.status == FirmwareLoad::NoSignature)
      return Refuse(5, QStringLiteral("%1 holds no firmware signature.").arg(hexName));
    return Refuse(
        3, QStringLiteral("Cannot read %1: %2").arg(hexName, QString::fromStdString(r.reason)));
  }

  std::unique_ptr<ResultsLog> log;
  if (const HidResult r = ResultsLog::Open(args.log, QFileInfo(hexName).fileName().toStdString(),
                                           Sha256Hex(image.data(), image.size()), log);
      !r)
    return Refuse(4, QStringLiteral("Results log: %1").arg(QString::fromStdString(r.error)));

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
    sending = std::make_unique<RecordAndSend>(*log, *store);
  }
  UnitRecorder* recorder = sending ? static_cast<UnitRecorder*>(sending.get()) : log.get();

  StationWindow window(QFileInfo(hexName).fileName(),
                       QFileInfo(QString::fromStdString(args.log)).absoluteFilePath());
  window.resize(960, 600);
  // The program's update counter: one station runner, one counter.
  UpdateCounter counter;
  StationRunnerOptions options;
  options.database = store.get();
  StationRunner runner(*program.hid, program.events, image.data(), counter.Source(), recorder,
                       window.Sink(), options);
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
