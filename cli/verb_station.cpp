// `kbupdate station FILE.hex`: the production-line station. Converts the
// file once, then updates every keyboard that is plugged in, each unit once,
// in parallel, and records each in the results log, until the count is
// reached or a signal stops it. The rules and the runs are the station's
// (station/station_rules.h, station/station_runner.h); this file parses,
// sets up the HID layer or the simulated keyboards (cli/devices.h), and
// hands stop requests (signals, the console's events: verb_station.h) to the
// runner. The same on every system.
#include <CLI/CLI.hpp>
#include <fstream>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/common_options.h"
#include "cli/console.h"
#include "cli/devices.h"
#include "cli/files.h"
#include "cli/station_database.h"
#include "cli/station_display.h"
#include "cli/verb_station.h"
#include "cli/verbs.h"
#include "device/update_counter.h"
#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "sim/sim_hub.h"
#include "sim/sim_operator.h"
#include "station/results_log.h"
#include "station/station_runner.h"
#include "station/unit_store.h"

namespace kbt::cli {

const char kStationHelp[] =
    "usage: kbupdate station [OPTIONS] FILE.hex\n"
    "\n"
    "The production-line station: converts FILE.hex and checks its signature\n"
    "once, then updates every keyboard that is plugged in or arrives, each on\n"
    "its own and in parallel (a keyboard in normal operation is switched into\n"
    "update mode first), and records every unit in the results log. A unit is\n"
    "updated once: the keyboard that comes back at its place after the run\n"
    "(restarted into its new firmware, or still in update mode after a FAIL)\n"
    "is shown \"done, unplug\" and left alone; the next keyboard at that place\n"
    "after it has been empty is the next unit. After a PASS the keyboard\n"
    "restarts: it leaves the bus once and comes back once. Which keyboard is\n"
    "that unit back is told by the device events' own times (when the system\n"
    "reported the leaving and the arrival, not when the station got round to\n"
    "looking, so a busy machine does not matter) and by the USB serial number:\n"
    "where keyboards report one, the same serial back at the place is the unit\n"
    "however long its restart took (up to 30 s; away longer, it was taken away),\n"
    "and a different serial is a new unit at once. Without a serial, a keyboard\n"
    "back within 1.5 s of the leaving is the unit and a later one the next\n"
    "unit: swap units once the place says \"done, unplug\", or take longer.\n"
    "Runs until --count units are done, or until SIGINT or SIGTERM: then it\n"
    "takes no new keyboard, lets the runs in progress finish (at most 60 s),\n"
    "prints the totals and exits; a SIGINT (Ctrl+C) after the first SIGINT or\n"
    "SIGTERM cancels the runs in progress, which are recorded as FAIL\n"
    "\"interrupted\". On Windows Ctrl+C is SIGINT and Ctrl+Break SIGTERM;\n"
    "closing the console window cancels the runs in progress at once (Windows\n"
    "ends the program seconds later) and records them. It writes no DLog.txt.\n"
    "\n"
    "A place is where one keyboard is plugged in, as `kbupdate list` shows it:\n"
    "on Linux the USB port path (1-2.3), which stays the same when the keyboard\n"
    "restarts into update mode; on Windows the location of the USB device the\n"
    "keyboard's HID interfaces hang under (Port_#0002.Hub_#0001); where Windows\n"
    "names no USB parent (Wine), the keyboard's own device instance path, so\n"
    "that two keyboards never share a place (a keyboard that restarts into\n"
    "update mode then comes back as another place); sim-1, sim-2, ... for\n"
    "simulated keyboards.\n"
    "\n"
    "  --port LOCATION  only the keyboards at this place (repeatable)\n"
    "  --count N        stop after N finished units (PASS or FAIL)\n"
    "  --log FILE       the results log (default kbupdate-results.csv in the\n"
    "                   current folder), appended to; see below\n"
    "  --db CONNINFO    also into this PostgreSQL database (a libpq connection\n"
    "                   string or URI; the PG* environment variables and the\n"
    "                   service file apply; the password belongs in ~/.pgpass,\n"
    "                   never here); see Database below\n"
    "  --station-name NAME  the station column in the database (default: the\n"
    "                   host name)\n"
    "  --json           one JSON object per event on stdout (see below)\n"
    "  --bus-log FILE   append what the station saw to FILE: every device event\n"
    "                   with its time, every listing, every change of a place's\n"
    "                   state (why a unit was, or was not, taken)\n"
    "  -v, --verbose    also every step of every run (without a terminal)\n"
    "  --simulate       simulated keyboards instead of real ones\n"
    "  --sim-keyboards N  how many (default 1), at places sim-1 to sim-N\n"
    "  --sim-operator   a scripted operator: unplugs each unit shown done after\n"
    "                   a short pause and plugs a new one in a moment later;\n"
    "                   its units report serial numbers SIM-K-NNNN\n" KB_SIM_MEMORY_HELP
    "                     (every unit plugged in holds it)\n"
    "\n" KB_SIM_FAULTS_HELP
    "A fault with @K hits every unit plugged in at sim-K.\n"
    "\n"
    "On a terminal the display shows one line per place (waiting, updating\n"
    "with its bar and step, PASS with its time, FAIL with its reason, done,\n"
    "unplug) and the totals, redrawn in place; otherwise one line per event.\n"
    "\n"
    "Results log: CSV (RFC 4180) with the header\n"
    "  time,location,serial,result,duration_ms,firmware,image_sha256,counter,reason,unit_id\n"
    "time is ISO 8601 with the UTC offset; serial is empty where the keyboard\n"
    "reports none; result is PASS or FAIL; firmware is the file's name;\n"
    "image_sha256 is the SHA-256 of the converted 14336-byte image; counter is\n"
    "the value written to the information block (empty if the run did not get\n"
    "there); reason is empty on PASS. The header is written only into a new\n"
    "or empty file; a file that starts with another line is refused. Each line\n"
    "is on the disk (fsync; FlushFileBuffers on Windows) before its unit is\n"
    "shown finished; a unit whose line cannot be written is shown \"not\n"
    "recorded\", left out of the totals, and the station takes no more units.\n"
    "Lines end in CR LF on every system; a file with LF line ends is read and\n"
    "appended to as well. While a station runs, its log is locked: a second\n"
    "station on the same file is refused (exit 4). unit_id is the\n"
    "unit's id (a UUID); a log begun with the header without unit_id keeps its\n"
    "form, and its rows get ids derived from their content.\n"
    "\n"
    "Database (--db): each unit goes into the log first, then, in the\n"
    "background, into the table kbupdate_units (made with its schema version\n"
    "table kbupdate_schema where missing). The database never stops or slows a\n"
    "unit: while it is away the rows wait in the log and go in order once it is\n"
    "back, each exactly once, even after a kill or a restart (LOG.dbsent beside\n"
    "the log keeps how far the database confirmed it). A server that cannot be\n"
    "reached at start is said, and the station starts with the rows waiting; a\n"
    "refused login, a missing database or a table of another layout refuse the\n"
    "start (exit 4). At the end the station sends what waits for at most 10 s;\n"
    "what is left goes with the next start or with kbupdate results push.\n"
    "\n"
    "JSON lines (--json), each with \"type\":\n"
    "  slot      location, state (waiting, updating, finished, done, unplug),\n"
    "            unit, serial\n"
    "  progress  location, unit, step, steps (17), activity\n"
    "  unit      a finished unit: time, location, unit, serial, result,\n"
    "            duration_ms, counter (null if none), reason, recorded (false:\n"
    "            its log line could not be written; not counted), passed,\n"
    "            failed\n"
    "  done      location: the finished unit there can be unplugged\n"
    "  note      location, text: a failed step of a run, a log problem\n"
    "  stopping  text: why no new unit is taken\n"
    "  database  state (connected, away), server, since (away: ISO 8601),\n"
    "            reason, waiting (rows not yet in the database), sent\n"
    "  totals    passed, failed, units, elapsed_s, units_per_hour, log;\n"
    "            with --db also database_waiting and database_sent\n"
    "\n"
    "exit codes: 0 every unit passed; 1 a unit failed;\n"
    "            2 wrong or refused command line; 3 FILE.hex cannot be opened or read;\n"
    "            4 the results log cannot be opened, has another header, is in\n"
    "              use by another station, or a line could not be written (the\n"
    "              station then stops); the database refused the login or has a\n"
    "              table it does not know\n"
    "            5 FILE.hex holds no firmware signature;\n"
    "            7 no HID access (no HID layer in this build, or it failed);\n"
    "            130 stopped by SIGINT (Ctrl+C), 143 by SIGTERM (Ctrl+Break)\n";

namespace {

struct StationOptions {
  DeviceOptions device;
  bool json = false;
  bool simOperator = false;
  int count = 0;
  std::string log = "kbupdate-results.csv";
  std::string busLog;
  std::string file;
  DatabaseOptions database;
};

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of(platform::kPathSeparator == L'/' ? "/" : "/\\:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int RunStation(StationOptions& o) {
  if (const std::string e = FinishDeviceOptions(o.device); !e.empty()) {
    Error(e + " (see kbupdate station --help)");
    return kExitUsage;
  }
  const DeviceOptions& d = o.device;
  if (o.simOperator && !d.simulate) {
    Error("--sim-operator needs --simulate (see kbupdate station --help)");
    return kExitUsage;
  }
  if (IsStdStream(o.file)) {
    Error("the station reads FILE.hex from a named file, not from standard input");
    return kExitUsage;
  }
  // A simulated place that does not exist would be waited for forever.
  if (d.simulate)
    for (const std::string& p : d.ports) {
      bool simulated = false;
      for (unsigned k = 1; k <= d.simKeyboards; ++k)
        simulated = simulated || p == sim::SimLocation(static_cast<int>(k));
      if (!simulated) {
        Error(Format("--port %s: the simulated keyboards are at sim-1 to sim-%u", p.c_str(),
                     d.simKeyboards) +
              " (see --sim-keyboards)");
        return kExitUsage;
      }
    }
  if (SameFile(o.file, o.log)) {
    Error("the results log " + o.log + " is the firmware file " + o.file +
          "; appending there would destroy it");
    return kExitUsage;
  }

  // The image, once: any problem refuses to start, before a keyboard is touched.
  std::vector<std::uint8_t> image(kImageSize, 0);
  const FirmwareLoadResult loaded =
      LoadFirmware(platform::PathFromArgument(o.file.c_str()), image.data());
  switch (loaded.status) {
    case FirmwareLoad::Loaded:
      break;
    case FirmwareLoad::NotOpened:
    case FirmwareLoad::NotRead:
      Error((loaded.status == FirmwareLoad::NotOpened ? "cannot open " : "cannot read ") + o.file +
            ": " + loaded.reason);
      return kExitInput;
    case FirmwareLoad::NoSignature:
      Error(o.file + " holds no firmware signature (Hex File Error!)");
      return kExitNoSignature;
  }

  // The HID layer and its events. The simulated keyboards plugged in at
  // start are the units, unless the operator swaps in units of its own.
  std::string error;
  int failure = kExitNoHid;
  const std::unique_ptr<Devices> devices = Devices::Open(d, error, failure);
  if (!devices) {
    Error(error);
    return failure;
  }
  HidBackend& hid = devices->Hid();
  if (!devices->Simulated()) {
    std::vector<HidInterfaceInfo> present;
    if (const HidResult r = hid.Enumerate(present); !r) {
      Error(r.error);
      return kExitNoHid;
    }
    for (const std::string& p : AccessProblems(hid)) Error(p);
  }

  // Opened last: a start refused for another reason leaves no file behind.
  std::unique_ptr<ResultsLog> log;
  if (const HidResult r =
          ResultsLog::Open(o.log, BaseName(o.file), Sha256Hex(image.data(), image.size()), log);
      !r) {
    Error("results log: " + r.error);
    return kExitOutput;
  }
  // The database after the log: its sender reads the log it writes.
  std::unique_ptr<UnitStore> store;
  std::unique_ptr<RecordAndSend> sending;
  if (!o.database.conninfo.empty()) {
    UnitStoreOptions storeOptions = StoreOptions(o.database);
    storeOptions.note = [](const std::string& line) { Error(line); };
    std::string why;
    StoreRefusal refusal = StoreRefusal::None;
    store = StartUnitStore(storeOptions, o.log, why, refusal);
    if (!store) {
      Error(why);
      return RefusalExit(refusal);
    }
    if (const UnitStoreStatus s = store->Status(); s.state == UnitStoreStatus::State::Away)
      Error("database " + s.server + " cannot be reached (" + s.reason +
            "); the station starts, the rows wait in " + o.log);
    sending = std::make_unique<RecordAndSend>(*log, *store);
  }
  UnitRecorder* recorder = sending ? static_cast<UnitRecorder*>(sending.get()) : log.get();

  const StationDisplay::Style style = o.json ? StationDisplay::Style::Json
                                      : IsTerminal(1) && PrepareTerminalRedraw()
                                          ? StationDisplay::Style::Terminal
                                          : StationDisplay::Style::Lines;
  StationDisplay display(style);
  std::unique_ptr<sim::SimOperator> op;
  if (o.simOperator) {
    op = std::make_unique<sim::SimOperator>(*devices->Hub(), sim::OperatorTiming{},
                                            devices->SimMemory());
    display.onEvent = [&op](const StationEvent& e) {
      if (e.kind == StationEvent::Kind::Done) op->UnitDone(e.location);
    };
  }

  StationRunnerOptions options;
  std::ofstream busLog;
  if (!o.busLog.empty()) {
    busLog.open(o.busLog, std::ios::app);
    if (!busLog) {
      Error("--bus-log: cannot open " + o.busLog);
      return kExitOutput;
    }
    options.busLog = [&busLog](const std::string& line) { busLog << line << std::endl; };
  }
  options.rules.ports = d.ports;
  options.rules.count = o.count;
  options.database = store.get();
  // The program's update counter: kbupdate runs one verb, one station.
  UpdateCounter counter;
  StationRunner runner(hid, devices->Events(), image.data(), counter.Source(), recorder, &display,
                       options);
  Info("station: " + o.file + ", results in " + o.log +
       (o.count > 0 ? Format(", until %d units are done", o.count) : std::string()) +
       "; Ctrl+C stops");
  {
    StationStopScope stops(runner);
    runner.Run();
  }
  if (store) {
    if (const UnitStoreStatus s = store->Status();
        s.waiting > 0 && s.state == UnitStoreStatus::State::Connected)
      Info(Format("database: sending the %zu rows waiting (at most 10 s)", s.waiting));
    store->Finish(std::chrono::seconds(10));
  }
  const StationStatus status = runner.Status();
  display.Totals(status, o.log);

  if (runner.RecordFailed()) {
    Error("a unit could not be written to " + o.log + "; the station stopped");
    return kExitOutput;
  }
  if (const int stopped = StationStopScope::ExitCode(); stopped != 0) return stopped;
  return status.failed > 0 ? kExitFailed : kExitOk;
}

}  // namespace

VerbRun SetUpStation(CLI::App& command) {
  auto o = std::make_shared<StationOptions>();
  AddDeviceOptions(command, o->device, kSimulate | kSimMemory | kSimKeyboards | kSimFaults | kPort);
  AddJsonOption(command, o->json);
  command.add_flag("--sim-operator", o->simOperator);
  command.add_option("--count", o->count)->check(CLI::Range(1, 1000000));
  command.add_option("--log", o->log)
      ->check(CLI::Validator(
          [](std::string& v) { return v.empty() ? std::string("needs a file name") : ""; },
          "FILE"));
  command.add_option("--bus-log", o->busLog);
  AddDatabaseOptions(command, o->database, false);
  command.add_option("FILE.hex", o->file)->required();
  return [o] { return RunStation(*o); };
}

}  // namespace kbt::cli
