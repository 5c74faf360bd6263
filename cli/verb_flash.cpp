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
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
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

#include "cli/console_dialog.h"
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

// Exit codes of flash beyond the shared ones.
inline constexpr int kExitNoSignature = 5;
inline constexpr int kExitNoKeyboard = 6;
inline constexpr int kExitNoHid = 7;

const char kFlashHelp[] =
    "usage: kbupdate flash [--simulate [FAULTS]] [--trace FILE] [--wait SECONDS] FILE.hex\n"
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
    "\n"
    "Faults of the simulated keyboard (with --simulate). Reports are counted\n"
    "from the Begin command on, repetitions included, so that in a run\n"
    "without repetitions N is the report's place in the update sequence:\n"
    "  --sim-fail=N          the N-th report fails once\n"
    "  --sim-fail-from=N     the N-th report and every later one fail\n"
    "  --sim-unplug=N        the keyboard leaves the bus instead of answering N\n"
    "  --sim-reject-block=K  every write of image block K (0 to 6) fails\n"
    "  --sim-corrupt=K       every read-back of image block K differs\n"
    "  --sim-refuse-entry    the keyboard ignores the Enter-update-mode command\n"
    "\n"
    "exit codes: 0 PASS; 1 FAIL (the update ran and failed);\n"
    "            2 wrong command line; 3 FILE.hex cannot be opened or read;\n"
    "            4 the trace file cannot be written;\n"
    "            5 FILE.hex holds no firmware signature (\"Hex File Error!\");\n"
    "            6 no keyboard appeared within the wait;\n"
    "            7 no HID access (no HID layer in this build, or the platform's\n"
    "              HID layer failed)\n";

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  bool simulate = false;
  std::string trace;
  unsigned waitSeconds = 30;
  sim::SimFaults faults;
  bool anyFault = false;
  std::string file;
};

bool ParseNumber(const std::string& text, int low, int high, int& out) {
  if (text.empty() || text.size() > 6) return false;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  out = value;
  return true;
}

std::optional<Options> Parse(const Arguments& args) {
  Options o;
  auto bad = [](const std::string& what) {
    std::fprintf(stderr, "kbupdate flash: %s (see kbupdate flash --help)\n", what.c_str());
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto eq = a.find('=');
    const std::string name = a.substr(0, eq);
    const bool hasValue = eq != std::string::npos;
    auto value = [&](std::string& out) {
      if (hasValue) {
        out = a.substr(eq + 1);
        return true;
      }
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    int n = 0;
    if (a == "--simulate") {
      o.simulate = true;
    } else if (a == "--sim-refuse-entry") {
      o.faults.refuseEntry = true;
      o.anyFault = true;
    } else if (name == "--trace") {
      if (!value(o.trace) || o.trace.empty()) return bad("--trace needs a file name");
    } else if (name == "--wait") {
      if (!value(v) || !ParseNumber(v, 1, 3600, n)) return bad("--wait needs 1 to 3600 seconds");
      o.waitSeconds = static_cast<unsigned>(n);
    } else if (name == "--sim-fail" || name == "--sim-fail-from" || name == "--sim-unplug") {
      if (!value(v) || !ParseNumber(v, 1, 100000, n)) return bad(name + " needs a report number");
      (name == "--sim-fail"        ? o.faults.failOnce
       : name == "--sim-fail-from" ? o.faults.failFrom
                                   : o.faults.unplugAt) = n;
      o.anyFault = true;
    } else if (name == "--sim-reject-block" || name == "--sim-corrupt") {
      if (!value(v) || !ParseNumber(v, 0, 6, n)) return bad(name + " needs a block from 0 to 6");
      (name == "--sim-reject-block" ? o.faults.rejectBlock : o.faults.corruptBlock) = n;
      o.anyFault = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return bad("unknown option " + a);
    } else if (o.file.empty()) {
      o.file = a;
    } else {
      return bad("expects one FILE.hex");
    }
  }
  if (o.file.empty()) return bad("expects FILE.hex");
  if (o.anyFault && !o.simulate) return bad("the --sim-* faults need --simulate");
  return o;
}

// The terminal's side of the status outputs: a progress bar on stderr,
// redrawn in place on a terminal and one line per step otherwise.
class TerminalOutputs : public StatusOutputs {
 public:
  TerminalOutputs() : tty_(isatty(2) == 1) {}
  void RepaintButton() override {}
  void SetProgressPos(int position) override {
    constexpr int kTop = 17;  // the bar's range; a repeated pass goes beyond
    const int shown = position > kTop ? kTop : position;
    if (tty_) {
      std::fprintf(stderr, "\rupdating [%-17s] %2d/17", std::string(shown, '#').c_str(), shown);
    } else {
      std::fprintf(stderr, "progress %d/17\n", shown);
    }
    std::fflush(stderr);
  }
  void EnableStartButton(bool) override {}
  void EndLine() {
    if (tty_) std::fputc('\n', stderr);
  }

 private:
  bool tty_;
};

class TraceFile {
 public:
  bool Open(const std::string& path) {
    file_ = platform::OpenForWriting(platform::PathFromArgument(path.c_str()));
    return file_ != nullptr;
  }
  ~TraceFile() {
    if (file_) std::fclose(file_);
  }
  void Write(const TraceRecord& record) {
    std::lock_guard lock(mutex_);
    if (!file_) return;
    const std::string line = FormatTraceLine(++count_, record) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size()) failed_ = true;
  }
  bool Close() {
    std::lock_guard lock(mutex_);
    if (!file_) return !failed_;
    const bool ok = std::fclose(file_) == 0 && !failed_;
    file_ = nullptr;
    return ok;
  }

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::size_t count_ = 0;
  bool failed_ = false;
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
  std::fprintf(stderr, "looking for the keyboard...\n");
  for (;;) {
    DiscoveryWorker(hid);
    if (g_DeviceReady) break;
    if (!WaitForArrival(events, deadline)) return false;
    g_BootEntryHold = false;
  }
  if (ArrivalPending(events)) (void)DeviceDiscovery(hid);
  return !ReadDevicePaths().data.empty();
}

std::string ReadLog() {
  std::ifstream in(kResultLogName, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

int RunFlash(const Arguments& args) {
  const std::optional<Options> parsed = Parse(args);
  if (!parsed) return kExitUsage;
  const Options& o = *parsed;
  const std::wstring hexPath = platform::PathFromArgument(o.file.c_str());

  // A file that cannot be read is reported before any keyboard is touched.
  errno = 0;
  if (std::FILE* f = platform::OpenForReading(hexPath)) {
    std::fclose(f);
  } else {
    std::fprintf(stderr, "kbupdate flash: cannot open %s: %s\n", o.file.c_str(),
                 std::strerror(errno));
    return kExitInput;
  }
  if (!g_ImageBuffer) {
    std::fprintf(stderr, "kbupdate flash: no memory for the firmware image\n");
    return kExitFailed;
  }

  // The HID layer and its events.
  std::unique_ptr<HidBackend> platformHid;
  std::unique_ptr<DeviceEventSource> platformEvents;
  DeviceEventQueue simEvents;  // outlives the bus that feeds it
  std::unique_ptr<sim::SimBus> simBus;
  HidBackend* hid = nullptr;
  DeviceEventSource* events = nullptr;
  if (o.simulate) {
    sim::SimBusOptions busOptions;
    busOptions.reenumerateDelayMs = 300;  // a short re-enumeration, like a real one
    simBus = std::make_unique<sim::SimBus>(sim::SimMode::Normal, busOptions);
    simBus->SetFaults(o.faults);
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
      std::fprintf(stderr,
                   "kbupdate flash: this build has no HID layer for this system; "
                   "--simulate updates the simulated keyboard\n");
      return kExitNoHid;
    }
  }

  TraceFile traceFile;
  std::unique_ptr<TracingHidBackend> tracing;
  if (!o.trace.empty()) {
    if (!traceFile.Open(o.trace)) {
      std::fprintf(stderr, "kbupdate flash: cannot create %s\n", o.trace.c_str());
      return kExitOutput;
    }
    tracing = std::make_unique<TracingHidBackend>(
        *hid, [&traceFile](const TraceRecord& r) { traceFile.Write(r); });
    hid = tracing.get();
  }

  auto outputs = std::make_shared<TerminalOutputs>();
  InstallStatusOutputs(outputs);
  struct Uninstall {
    ~Uninstall() { RemoveStatusOutputs(); }
  } uninstall;

  // An enumeration failure (no permission, no hidraw) says more than a
  // time-out would.
  {
    std::vector<HidInterfaceInfo> present;
    if (const HidResult r = hid->Enumerate(present); !r) {
      std::fprintf(stderr, "kbupdate flash: %s\n", r.error.c_str());
      return kExitNoHid;
    }
  }
  // Discovery skips an interface it cannot open without a word; say why, or
  // a user without access rights sees only the time-out.
  for (const std::string& p : AccessProblems(*hid))
    std::fprintf(stderr, "kbupdate flash: %s\n", p.c_str());
  if (!FindKeyboard(*hid, events, o.waitSeconds)) {
    std::fprintf(stderr, "kbupdate flash: no keyboard appeared within %u s\n", o.waitSeconds);
    for (const std::string& p : AccessProblems(*hid)) std::fprintf(stderr, "  %s\n", p.c_str());
    return kExitNoKeyboard;
  }
  std::fprintf(stderr, "keyboard ready in update mode\n");

  // The Start command: the image belongs to this run from here on.
  std::unique_lock<std::mutex> imageLock(g_ImageMutex);
  std::memset(g_ImageBuffer, 0, kImageSize);
  if (const HexToBinResult r = HexToBin(hexPath, g_ImageBuffer); !r.Read()) {
    std::fprintf(stderr, "kbupdate flash: cannot read %s: %s\n", o.file.c_str(), r.reason.c_str());
    return kExitInput;
  }
  if (!FindFirmwareSignature(g_ImageBuffer)) {
    std::fprintf(stderr, "kbupdate flash: %s holds no firmware signature (Hex File Error!)\n",
                 o.file.c_str());
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
  if (!pass)
    for (const auto& line : notes) std::fprintf(stderr, "  %s\n", line.c_str());
  if (ReadLog() != (pass ? "PASS\r\n" : "FAIL\r\n"))
    std::fprintf(stderr, "kbupdate flash: could not write %s in the current folder\n",
                 kResultLogName);
  if (!traceFile.Close())
    std::fprintf(stderr, "kbupdate flash: writing %s failed; the trace is incomplete\n",
                 o.trace.c_str());
  std::printf("%s\n", pass ? "PASS" : "FAIL");
  std::fflush(stdout);
  return pass ? kExitOk : kExitFailed;
}

}  // namespace kbt::cli
