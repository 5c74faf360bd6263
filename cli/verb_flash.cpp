// `kbupdate flash FILE.hex`: the whole road of one update without a window,
// as the dialog walks it: discovery, update-mode entry of a keyboard in
// normal operation, discovery of the update-mode device after its arrival,
// the ready delay, conversion and signature check, the Update run, DLog.txt,
// and PASS or FAIL as the last line on stdout. Everything else goes to
// stderr, so that scripts can take the last line.
//
// The steps run on this thread one after the other; device events come from
// a DeviceEventSource (the simulated bus's queue, or the platform's monitor)
// and only say when to look again. Without an event source it looks again
// every half second.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "cli/common_options.h"
#include "cli/console.h"
#include "cli/files.h"
#include "cli/json_lines.h"
#include "cli/verbs.h"
#include "device/device_events.h"
#include "device/device_state.h"
#include "device/hid_trace.h"
#include "device/sleep.h"
#include "device/update_worker.h"
#include "device/workers.h"
#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/firmware_signature.h"
#include "image/hex_to_bin.h"
#include "sim/sim_bus.h"
#include "ui/status_outputs.h"
#ifdef KB_HAVE_PLATFORM_HID
#include "device/platform_hid.h"
#endif

namespace kbt::cli {

const char kFlashHelp[] =
    "usage: kbupdate flash [OPTIONS] FILE.hex\n"
    "\n"
    "Updates the keyboard with FILE.hex, as the dialog's Start button does:\n"
    "waits for the keyboard, switches a keyboard in normal operation into its\n"
    "update mode, waits for it to come back, converts FILE.hex and checks its\n"
    "signature, then writes, verifies and finishes, with the progress on\n"
    "stderr. DLog.txt in the current folder then holds PASS or FAIL, and so\n"
    "does the last line on stdout.\n"
    "\n"
    "  --simulate      update the simulated keyboard instead of a real one\n"
    "  --trace FILE    write every report sent or requested to FILE, one per\n"
    "                  line: number, interface (normal, command, data), set or\n"
    "                  get, ok or fail, the bytes in hex\n"
    "  --wait SECONDS  how long to wait for the keyboard (default 30)\n"
    "  --json          one JSON object per line on stdout instead of the text\n"
    "                  (see below)\n"
    "  -q, --quiet     no progress, only errors and the result\n"
    "  -v, --verbose   also the run's notes when it passes\n" KB_SIM_MEMORY_HELP
    "\n" KB_SIM_FAULTS_HELP
    "\n"
    "JSON lines (--json), each with \"type\":\n"
    "  progress  step (0 to 17), steps (17)\n"
    "  status    text: what the command does now (looking, ready, ...)\n"
    "  note      text: a note of the run (retries, the failing report)\n"
    "  result    result (\"PASS\" or \"FAIL\"), exit_code, elapsed_s (seconds)\n"
    "Errors stay on stderr.\n"
    "\n"
    "exit codes: 0 PASS; 1 FAIL (the update ran and failed);\n"
    "            2 wrong or refused command line; 3 FILE.hex cannot be opened or read;\n"
    "            4 the trace file or DLog.txt cannot be written;\n"
    "            5 FILE.hex holds no firmware signature (\"Hex File Error!\");\n"
    "            6 no keyboard appeared within the wait;\n"
    "            7 no HID access (no HID layer in this build, or the platform's\n"
    "              HID layer failed)\n";

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  DeviceOptions device;
  bool json = false;
  std::string file;
};

// Where the progress, the status lines and the notes go: text on stderr, or
// JSON lines on stdout.
class Reporter {
 public:
  explicit Reporter(bool json) : json_(json) {}
  bool Json() const { return json_; }
  void Status(const std::string& text) {
    if (json_) {
      PrintJsonLine({{"type", "status"}, {"text", text}});
    } else {
      Info(text);
    }
  }
  void Note(const std::string& text) {
    if (json_) {
      PrintJsonLine({{"type", "note"}, {"text", text}});
    } else {
      std::fprintf(stderr, "  %s\n", text.c_str());
    }
  }

 private:
  bool json_;
};

// The terminal's side of the status outputs: a progress bar on stderr,
// redrawn in place on a terminal and one line per step otherwise; or a JSON
// line per step.
class TerminalOutputs : public StatusOutputs {
 public:
  explicit TerminalOutputs(bool json)
      : json_(json), quiet_(CurrentVerbosity() == Verbosity::Quiet), tty_(isatty(2) == 1) {}
  void RepaintButton() override {}
  void SetProgressPos(int position) override {
    constexpr int kTop = 17;  // the bar's range; a repeated pass goes beyond
    const int shown = position > kTop ? kTop : position;
    if (json_) {
      PrintJsonLine({{"type", "progress"}, {"step", shown}, {"steps", kTop}});
      return;
    }
    if (quiet_) return;
    if (tty_) {
      std::fprintf(stderr, "\rupdating [%-17s] %2d/17", std::string(shown, '#').c_str(), shown);
    } else {
      std::fprintf(stderr, "progress %d/17\n", shown);
    }
    std::fflush(stderr);
  }
  void EnableStartButton(bool) override {}
  void EndLine() {
    if (tty_ && !json_ && !quiet_) std::fputc('\n', stderr);
  }

 private:
  bool json_;
  bool quiet_;
  bool tty_;
};

// The trace is written and flushed line by line, so that after a crash or
// an interrupt it holds every report up to the last one; the first failed
// write is kept with its reason.
class TraceFile {
 public:
  bool Open(const std::string& path) {
    errno = 0;
    file_ = platform::OpenForWriting(platform::PathFromArgument(path.c_str()));
    if (!file_) error_ = errno;
    return file_ != nullptr;
  }
  ~TraceFile() {
    if (file_) std::fclose(file_);
  }
  void Write(const TraceRecord& record) {
    std::lock_guard lock(mutex_);
    if (!file_ || error_) return;
    const std::string line = FormatTraceLine(++count_, record) + "\n";
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0)
      error_ = errno ? errno : EIO;
  }
  // 0 when every line was written, else the first error.
  int Close() {
    std::lock_guard lock(mutex_);
    if (file_) {
      errno = 0;
      if (std::fclose(file_) != 0 && !error_) error_ = errno ? errno : EIO;
      file_ = nullptr;
    }
    return error_;
  }
  int Error() const { return error_; }

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::size_t count_ = 0;
  int error_ = 0;
};

// Waits for the next arrival until `deadline`; removals and other events
// only wake it. False at the deadline.
bool WaitForArrival(DeviceEventSource* events, Clock::time_point deadline) {
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (!events) {
      // No event source: look again every half second.
      SleepMs(static_cast<unsigned>(std::min<long long>(left.count(), 500)));
      return Clock::now() < deadline;
    }
    DeviceEvent event;
    if (events->WaitEvent(event, static_cast<unsigned>(left.count())) &&
        event.kind == DeviceEvent::Kind::Arrival)
      return true;
  }
}

// Arrivals that came while a pass ran: the dialog would run one more pass
// for them, which records interfaces that arrived after the first look.
bool ArrivalPending(DeviceEventSource* events) {
  if (!events) return false;
  bool arrival = false;
  DeviceEvent event;
  while (events->WaitEvent(event, 0))
    if (event.kind == DeviceEvent::Kind::Arrival) arrival = true;
  return arrival;
}

// Steps 2 and 3 of the road: until discovery has found the update-mode
// device and the ready delay is over.
bool FindKeyboard(HidBackend& hid, DeviceEventSource* events, unsigned waitSeconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(waitSeconds);
  for (;;) {
    DiscoveryWorker(hid);
    if (g_DeviceReady) break;
    if (!WaitForArrival(events, deadline)) return false;
    g_BootEntryHold = false;
  }
  if (ArrivalPending(events)) (void)DeviceDiscovery(hid);
  return !ReadDevicePaths().data.empty();
}

// What DLog.txt holds now; empty when it cannot be read (also when it is a
// folder).
std::string ReadLog() {
  FilePtr in(platform::OpenForReading(platform::PathFromArgument(kResultLogName)));
  if (!in) return {};
  char buffer[64];
  const std::size_t n = std::fread(buffer, 1, sizeof buffer, in.get());
  return std::string(buffer, n);
}

// Why DLog.txt could not be written: the error of opening it for appending,
// which changes nothing that is there.
std::string LogProblem() {
  errno = 0;
  if (std::FILE* f = std::fopen(kResultLogName, "ab")) {
    std::fclose(f);
    return "its content is not what was written";
  }
  return Reason(errno);
}

int RunFlash(Options& o) {
  if (const std::string e = FinishDeviceOptions(o.device); !e.empty()) {
    Error(e + " (see kbupdate flash --help)");
    return kExitUsage;
  }
  const DeviceOptions& d = o.device;
  const sim::SimFaults faults = d.faults.count(1) ? d.faults.at(1) : sim::SimFaults{};
  // Outputs that would replace the firmware file or the result log.
  if (!d.trace.empty()) {
    if (SameFile(o.file, d.trace)) {
      Error("the trace file " + d.trace + " is the firmware file " + o.file +
            "; tracing there would destroy it");
      return kExitUsage;
    }
    if (SameFile(kResultLogName, d.trace)) {
      Error(std::string("the trace file ") + d.trace + " is the result log " + kResultLogName);
      return kExitUsage;
    }
  }
  const Clock::time_point started = Clock::now();
  Reporter report(o.json);
  const std::wstring hexPath = platform::PathFromArgument(o.file.c_str());

  // A file that cannot be read is reported before any keyboard is touched.
  errno = 0;
  if (std::FILE* f = platform::OpenForReading(hexPath)) {
    std::fclose(f);
  } else {
    Error("cannot open " + o.file + ": " + Reason(errno));
    return kExitInput;
  }
  if (!g_ImageBuffer) {
    Error("no memory for the firmware image");
    return kExitFailed;
  }

  // The HID layer and its events.
  std::unique_ptr<HidBackend> platformHid;
  std::unique_ptr<DeviceEventSource> platformEvents;
  DeviceEventQueue simEvents;  // outlives the bus that feeds it
  std::unique_ptr<sim::SimBus> simBus;
  HidBackend* hid = nullptr;
  DeviceEventSource* events = nullptr;
  if (d.simulate) {
    sim::SimBusOptions busOptions;
    busOptions.reenumerateDelayMs = 300;  // a short re-enumeration, like a real one
    simBus = std::make_unique<sim::SimBus>(sim::SimMode::Normal, busOptions);
    std::vector<std::uint8_t> memory;
    std::string error;
    if (!LoadSimMemory(d.simMemory, memory, error)) {
      Error(error);
      return kExitInput;
    }
    SetSimMemory(*simBus, memory);
    simBus->SetFaults(faults);
    simBus->SetEventCallback([&simEvents](const DeviceEvent& e) { simEvents.Push(e); });
    hid = simBus.get();
    events = &simEvents;
  } else {
#ifdef KB_HAVE_PLATFORM_HID
    platformHid = MakePlatformHidBackend();
    platformEvents = MakePlatformDeviceEventSource();
    hid = platformHid.get();
    events = platformEvents.get();
#endif
    if (!hid) {
      Error(
          "this build has no HID layer for this system; "
          "--simulate updates the simulated keyboard");
      return kExitNoHid;
    }
  }

  TraceFile traceFile;
  std::unique_ptr<TracingHidBackend> tracing;
  if (!d.trace.empty()) {
    if (!traceFile.Open(d.trace)) {
      Error("cannot create the trace file " + d.trace + ": " + Reason(traceFile.Error()));
      return kExitOutput;
    }
    tracing = std::make_unique<TracingHidBackend>(
        *hid, [&traceFile](const TraceRecord& r) { traceFile.Write(r); });
    hid = tracing.get();
  }

  auto outputs = std::make_shared<TerminalOutputs>(o.json);
  InstallStatusOutputs(outputs);
  struct Uninstall {
    ~Uninstall() { RemoveStatusOutputs(); }
  } uninstall;

  // An enumeration failure (no permission, no hidraw) says more than a
  // time-out would.
  {
    std::vector<HidInterfaceInfo> present;
    if (const HidResult r = hid->Enumerate(present); !r) {
      Error(r.error);
      return kExitNoHid;
    }
  }
  // Discovery skips an interface it cannot open without a word; say why, or
  // a user without access rights sees only the time-out.
  for (const std::string& p : AccessProblems(*hid)) Error(p);
  report.Status("looking for the keyboard...");
  if (!FindKeyboard(*hid, events, d.waitSeconds)) {
    Error(Format("no keyboard appeared within %u s", d.waitSeconds));
    for (const std::string& p : AccessProblems(*hid)) std::fprintf(stderr, "  %s\n", p.c_str());
    return kExitNoKeyboard;
  }
  report.Status("keyboard ready in update mode");

  // The Start command: the image belongs to this run from here on.
  std::unique_lock<std::mutex> imageLock(g_ImageMutex);
  std::memset(g_ImageBuffer, 0, kImageSize);
  if (const HexToBinResult r = HexToBin(hexPath, g_ImageBuffer); !r.Read()) {
    Error("cannot read " + o.file + ": " + r.reason);
    return kExitInput;
  }
  if (!FindFirmwareSignature(g_ImageBuffer)) {
    Error(o.file + " holds no firmware signature (Hex File Error!)");
    return kExitNoSignature;
  }
  g_ProgressStep = 0;
  SetProgressPos(0);
  ProgressStep();
  g_UpdateBusy = true;

  RunNotes notes;
  const int result = UpdateWorkerWithResult(*hid, &notes);
  imageLock.unlock();
  outputs->EndLine();

  const bool pass = result == kUpdateRunOk;
  if (!pass || CurrentVerbosity() == Verbosity::Verbose || o.json)
    for (const auto& line : notes) report.Note(line);
  int code = pass ? kExitOk : kExitFailed;
  if (ReadLog() != (pass ? "PASS\r\n" : "FAIL\r\n")) {
    Error(std::string("could not write ") + kResultLogName +
          " in the current folder: " + LogProblem());
    code = kExitOutput;
  }
  if (const int e = traceFile.Close()) {
    Error("writing the trace file " + d.trace + " failed: " + Reason(e) +
          "; the trace is incomplete");
    code = kExitOutput;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  if (o.json) {
    PrintJsonLine({{"type", "result"},
                   {"result", pass ? "PASS" : "FAIL"},
                   {"exit_code", code},
                   {"elapsed_s", std::round(elapsed * 10) / 10}});
  } else {
    Info(Format("%s after %.1f s", pass ? "passed" : "failed", elapsed));
    std::printf("%s\n", pass ? "PASS" : "FAIL");
  }
  std::fflush(stdout);
  return code;
}

}  // namespace

VerbRun SetUpFlash(CLI::App& command) {
  auto o = std::make_shared<Options>();
  AddDeviceOptions(command, o->device, kSimulate | kSimMemory | kSimFaults | kWait | kTrace);
  AddJsonOption(command, o->json);
  command.add_option("FILE.hex", o->file)->required();
  return [o] { return RunFlash(*o); };
}

}  // namespace kbt::cli
