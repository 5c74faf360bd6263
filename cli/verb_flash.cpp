// `kbupdate flash FILE.hex`: the whole road of an update without a window.
// In order, so that nothing is touched that a later step would refuse:
//   1. the command line, and outputs that would replace the firmware file;
//   2. DLog.txt locked and set to FAIL (no earlier PASS survives a run that
//      is refused, interrupted or crashes);
//   3. FILE.hex converted and its signature checked, before any device;
//   4. the keyboards found (--port chooses; a plain flash takes exactly one
//      location, --all every one present), waiting up to --wait;
//   5. keyboards in normal operation sent the Enter-update-mode pair, and
//      waited for at the same location in update mode, then the settling
//      time (AwaitUpdateMode, device/update_mode.h);
//   6. one UpdateSession per keyboard, all at once;
//   7. DLog.txt PASS only when every keyboard passed, the table, and PASS or
//      FAIL as the last line on stdout.
// SIGINT/SIGTERM set the sessions' cancel flag: they stop before their next
// report; a second signal ends the process at once.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/common_options.h"
#include "cli/console.h"
#include "cli/devices.h"
#include "cli/dlog_file.h"
#include "cli/files.h"
#include "cli/flash_display.h"
#include "cli/flash_trace.h"
#include "cli/interrupts.h"
#include "cli/json_lines.h"
#include "cli/verbs.h"
#include "device/hid_trace.h"
#include "device/keyboards.h"
#include "device/session.h"
#include "device/session_runner.h"
#include "device/update_counter.h"
#include "device/update_mode.h"
#include "dialog/update_worker.h"
#include "image/file_platform.h"
#include "image/firmware_image.h"

namespace kbt::cli {

const char kFlashHelp[] =
    "usage: kbupdate flash [OPTIONS] FILE.hex\n"
    "\n"
    "Updates keyboards with FILE.hex, as the dialog's Start button does. First\n"
    "FILE.hex is converted and its signature checked (no device is touched when\n"
    "that fails); then it waits for the keyboard, switches a keyboard in normal\n"
    "operation into its update mode, waits for it to come back at the same\n"
    "place, and writes, verifies and finishes, with the progress on stderr.\n"
    "DLog.txt in the current folder holds FAIL from the start of the run and\n"
    "PASS at its end only when every keyboard passed. stdout ends with a table\n"
    "(location, PASS or FAIL, time, reason) and PASS or FAIL as its last line.\n"
    "\n"
    "A plain flash updates one keyboard: when keyboards are present at more than\n"
    "one location it refuses (exit 2) and lists them.\n"
    "  --all            update every keyboard present, all at once\n"
    "  --port LOCATION  only the keyboard at LOCATION; repeated, exactly the\n"
    "                   keyboards named, each of which must appear (`kbupdate\n"
    "                   list` shows the locations: sim-1, 1-2.3, ...)\n"
    "  --wait SECONDS   how long to wait for the keyboards, and for each to come\n"
    "                   back in update mode (default 30)\n"
    "  --dry-run        everything up to the first report (file, signature,\n"
    "                   finding the keyboards), then say what would be sent;\n"
    "                   sends nothing, leaves DLog.txt as it is\n"
    "  --trace FILE     write every report to FILE, one per line: number,\n"
    "                   interface (normal, command, data), set or get, ok or\n"
    "                   fail, the bytes in hex; with several keyboards (--all,\n"
    "                   several --port, --sim-keyboards N) each location's to\n"
    "                   FILE.LOCATION\n"
    "  --json           one JSON object per line on stdout instead of the text\n"
    "  -q, --quiet      no progress, only errors and the result\n"
    "  -v, --verbose    also each keyboard's interfaces\n"
    "  --simulate       update simulated keyboards instead of real ones\n"
    "  --sim-keyboards N  N simulated keyboards at sim-1 .. sim-N (default 1)\n" KB_SIM_MEMORY_HELP
    "\n" KB_SIM_FAULTS_HELP
    "\n"
    "Interrupting (Ctrl+C, SIGTERM) stops every keyboard before its next report,\n"
    "leaves FAIL in DLog.txt and says what state each keyboard is probably in;\n"
    "a second Ctrl+C ends at once.\n"
    "\n"
    "JSON lines (--json), each with \"type\":\n"
    "  status    text, and location when it is about one keyboard\n"
    "  progress  location, step (1 to 17), steps (17), stage, attempt\n"
    "  note      location, text: why a step failed, as it happens\n"
    "  plan      (--dry-run) location, mode, reports: what would be sent\n"
    "  keyboard  location, result (\"PASS\" or \"FAIL\"), elapsed_s, reason\n"
    "  result    result, exit_code, elapsed_s: the last line\n"
    "Errors stay on stderr.\n"
    "\n"
    "exit codes: 0 every keyboard PASS (or the dry run found them);\n"
    "            1 a keyboard FAILed; 2 wrong or refused command line, or\n"
    "            several locations without --all or --port;\n"
    "            3 FILE.hex cannot be opened or read; 4 the trace file or\n"
    "            DLog.txt cannot be written; 5 FILE.hex holds no firmware\n"
    "            signature (\"Hex File Error!\"); 6 no keyboard appeared (or\n"
    "            none came back in update mode) within the wait, or one\n"
    "            named with --port did not; 7 no HID access;\n"
    "            130 interrupted, 143 terminated\n";

namespace {

using Clock = std::chrono::steady_clock;

struct FlashOptions {
  DeviceOptions device;
  bool json = false;
  bool all = false;
  bool dryRun = false;
  std::string file;
};

double Seconds(Clock::time_point since) {
  return std::round(std::chrono::duration<double>(Clock::now() - since).count() * 10) / 10;
}

// One keyboard's way through the run.
struct Target {
  std::string location;
  Keyboard keyboard;  // as found
  KeyboardMode startMode = KeyboardMode::Normal;
  SessionInterfaces interfaces;
  bool ready = false;
  bool entrySent = false;    // the Enter-update-mode pair went out
  bool absent = false;       // named by --port, never appeared
  std::optional<bool> pass;  // set once it has a result
  std::string reason;        // of a FAIL: the last note
  double seconds = 0;
};

// Forwards to the display and keeps the notes for the reason.
class KeyboardSink : public SessionSink {
 public:
  explicit KeyboardSink(SessionSink& display) : display_(display) {}
  void Step(const SessionProgress& p) override { display_.Step(p); }
  void Note(const std::string& line) override {
    notes.push_back(line);
    display_.Note(line);
  }
  std::vector<std::string> notes;

 private:
  SessionSink& display_;
};

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

class FlashRun {
 public:
  explicit FlashRun(FlashOptions& o) : o_(o), d_(o.device), display_(o.json) {}
  int Run();

 private:
  int Refuse(const std::string& text) {
    Error(text);
    return kExitUsage;
  }
  int CheckOutputs();
  int OpenLog();
  int Convert();
  int FindTargets();
  int DryRun();
  void EnterAndWait();
  void RunSessions();
  int Finish(int code);
  bool PerKeyboardTrace() const { return d_.simKeyboards > 1 || o_.all || d_.ports.size() > 1; }
  std::vector<std::string> KnownLocations() const;

  FlashOptions& o_;
  DeviceOptions& d_;
  FlashDisplay display_;
  Clock::time_point started_ = Clock::now();
  DLogFile log_;
  bool logOpen_ = false;
  std::vector<std::uint8_t> image_;
  std::unique_ptr<Devices> devices_;
  std::unique_ptr<FlashTrace> trace_;
  std::unique_ptr<TracingHidBackend> tracing_;
  std::vector<Target> targets_;
  // The program's update counter: kbupdate runs one verb, so this run is
  // the program's only one.
  UpdateCounter counter_;
};

std::vector<std::string> FlashRun::KnownLocations() const {
  if (!d_.simulate) return d_.ports;
  if (!d_.ports.empty()) return d_.ports;
  std::vector<std::string> all;
  for (unsigned k = 1; k <= d_.simKeyboards; ++k)
    all.push_back(sim::SimLocation(static_cast<int>(k)));
  return all;
}

int FlashRun::CheckOutputs() {
  if (d_.trace.empty()) return kExitOk;
  FlashTrace names(d_.trace, PerKeyboardTrace());
  std::vector<std::string> files = {names.NameFor("")};
  for (const std::string& l : KnownLocations()) files.push_back(names.NameFor(l));
  for (const std::string& f : files) {
    if (SameFile(o_.file, f))
      return Refuse("the trace file " + f + " is the firmware file " + o_.file +
                    "; tracing there would destroy it");
    if (SameFile(kResultLogName, f))
      return Refuse("the trace file " + f + " is the result log " + kResultLogName);
  }
  return kExitOk;
}

int FlashRun::OpenLog() {
  switch (log_.Open(kResultLogName)) {
    case DLogFile::Opened::Ok:
      break;
    case DLogFile::Opened::Failed:
      Error(std::string("cannot write ") + kResultLogName +
            " in the current folder: " + log_.Error());
      return kExitOutput;
    case DLogFile::Opened::Busy:
      display_.Status("", std::string("another kbupdate flash holds ") + kResultLogName +
                              " in this folder; waiting for it to end");
      if (!log_.WaitForLock(d_.waitSeconds, InterruptScope::Flag())) {
        if (InterruptScope::Interrupted()) return InterruptScope::ExitCode();
        Error(
            Format("%s in this folder is still held by another kbupdate flash after %u s; "
                   "run in another folder or later",
                   kResultLogName, d_.waitSeconds));
        return kExitOutput;
      }
      break;
  }
  logOpen_ = true;
  if (!log_.Write(false)) {
    Error(std::string("cannot write ") + kResultLogName + ": " + log_.Error());
    return kExitOutput;
  }
  return kExitOk;
}

int FlashRun::Convert() {
  image_.assign(kImageSize, 0);
  const FirmwareLoadResult r =
      LoadFirmware(platform::PathFromArgument(o_.file.c_str()), image_.data());
  switch (r.status) {
    case FirmwareLoad::Loaded:
      return kExitOk;
    case FirmwareLoad::NotOpened:
      Error("cannot open " + o_.file + ": " + r.reason);
      return kExitInput;
    case FirmwareLoad::NotRead:
      Error(o_.file + ": " + r.reason);
      return kExitInput;
    case FirmwareLoad::NoSignature:
      Error(o_.file + " holds no firmware signature (Hex File Error!); no keyboard was touched");
      return kExitNoSignature;
  }
  return kExitInput;
}

int FlashRun::FindTargets() {
  const auto deadline = Clock::now() + std::chrono::seconds(d_.waitSeconds);
  display_.Status(
      "", d_.ports.empty() ? "looking for keyboards..." : "looking for " + Join(d_.ports) + "...");
  KeyboardList list;
  std::vector<const Keyboard*> found;
  bool reported = false;
  for (;;) {
    std::string error;
    if (!devices_->Look(list, error)) {
      Error(error);
      return kExitNoHid;
    }
    // An interface discovery cannot open is skipped without a word; say
    // why once, or a user without access rights sees only the time-out.
    if (!reported) {
      for (const SkippedInterface& s : list.skipped) Error(s.reason);
      reported = true;
    }
    found = Selected(list, d_.ports);
    const bool enough = d_.ports.empty() ? !found.empty() : found.size() == d_.ports.size();
    if (enough || InterruptScope::Interrupted() || Clock::now() >= deadline) break;
    devices_->WaitForChange(500, InterruptScope::Flag());
  }
  if (InterruptScope::Interrupted()) return InterruptScope::ExitCode();
  if (found.empty()) {
    Error(Format("no keyboard appeared within %u s", d_.waitSeconds) +
          (d_.ports.empty() ? "" : " at " + Join(d_.ports)));
    for (const SkippedInterface& s : list.skipped) std::fprintf(stderr, "  %s\n", s.reason.c_str());
    // The one cause the user can remove with one command.
    if (std::any_of(list.skipped.begin(), list.skipped.end(),
                    [](const SkippedInterface& s) { return s.accessDenied; }))
      std::fprintf(stderr, "  to give this user access to the keyboards present, run: %s\n",
                   "sudo kbupdate access --install");
    return kExitNoKeyboard;
  }
  // Several --port name exactly the keyboards to update; only an unnamed
  // choice between several is the user's to make.
  if (!o_.all && d_.ports.empty() && found.size() > 1) {
    std::vector<std::string> where;
    where.reserve(found.size());
    for (const Keyboard* k : found) where.push_back(k->location);
    Error("keyboards at " + std::to_string(where.size()) + " locations: " + Join(where) +
          "; choose one with --port LOCATION, or update all with --all");
    return kExitUsage;
  }
  for (const Keyboard* k : found) {
    Detail(k->location + ": " + ModeName(k->mode) + " mode, " +
           std::to_string(k->interfaces.size()) + " interface(s): " +
           platform::PathForDisplay(k->mode == KeyboardMode::Update
                                        ? k->data + L" (data), " + k->command + L" (command)"
                                        : (k->vendor.empty() ? L"" : k->vendor.front()) +
                                              L" (vendor)"));
    Target t;
    t.location = k->location;
    t.keyboard = *k;
    t.startMode = k->mode;
    targets_.push_back(t);
  }
  // Named places that never showed up fail in the table.
  for (const std::string& p : d_.ports) {
    if (list.At(p)) continue;
    Target t;
    t.location = p;
    t.pass = false;
    t.absent = true;
    t.reason = Format("no keyboard appeared within %u s", d_.waitSeconds);
    targets_.push_back(t);
  }
  return kExitOk;
}

int FlashRun::DryRun() {
  KeyboardList list;
  std::string error;
  if (!devices_->Look(list, error)) {
    Error(error);
    return kExitNoHid;
  }
  for (const Target& t : targets_) {
    const Keyboard* k = list.At(t.location);
    if (!k) continue;
    std::vector<std::string> reports;
    if (k->mode == KeyboardMode::Normal) {
      for (const DevicePath& p : k->vendor)
        reports.push_back("Enter-update-mode pair 05 75, 05 AB to " + platform::PathForDisplay(p));
      reports.push_back("then, back in update mode:");
    }
    reports.push_back(
        "the update: begin command, write window, 7 image blocks of 2048 bytes, block 0 again, "
        "read window, 7 blocks read back and compared, the information block (update counter), "
        "finish command: 27 reports");
    if (o_.json) {
      PrintJsonLine({{"type", "plan"},
                     {"location", t.location},
                     {"mode", ModeName(k->mode)},
                     {"reports", reports}});
    } else {
      std::printf("%s (%s mode) would get:\n", t.location.c_str(), ModeName(k->mode));
      for (const std::string& r : reports) std::printf("  %s\n", r.c_str());
    }
  }
  if (!o_.json) std::printf("dry run: nothing was sent\n");
  return kExitOk;
}

void FlashRun::EnterAndWait() {
  // Every keyboard at once: the pairs out, each back at its location in
  // update mode within the wait, then the settling time.
  std::vector<Target*> waiting;
  std::vector<Keyboard> keyboards;
  for (Target& t : targets_) {
    if (t.pass) continue;
    waiting.push_back(&t);
    keyboards.push_back(t.keyboard);
  }
  UpdateModeOptions options;
  options.backWithin = std::chrono::seconds(d_.waitSeconds);
  options.cancel = InterruptScope::Flag();
  options.told = [this](UpdateModeOptions::Step step, const Keyboard& k) {
    if (step == UpdateModeOptions::Step::Entering)
      display_.Status(k.location, "switching into update mode");
  };
  HidBusWatch watch = devices_->Watch();
  const std::vector<UpdateModeResult> results =
      AwaitUpdateMode(devices_->Hid(), watch, keyboards, options);
  for (std::size_t i = 0; i < results.size(); ++i) {
    Target& t = *waiting[i];
    const UpdateModeResult& r = results[i];
    // Tried counts: a keyboard that refused the pair half way may be left in
    // either mode.
    t.entrySent = r.entered || r.outcome == UpdateModeResult::Outcome::EntryFailed;
    switch (r.outcome) {
      case UpdateModeResult::Outcome::Ready:
        t.ready = true;
        t.interfaces = {r.keyboard.data, r.keyboard.command, r.keyboard.location,
                        r.keyboard.listed};
        break;
      case UpdateModeResult::Outcome::EntryFailed:
        t.pass = false;
        t.reason = "Enter-update-mode: " + r.error;
        break;
      case UpdateModeResult::Outcome::NotBack:
      case UpdateModeResult::Outcome::NoAccess:
        t.pass = false;
        t.reason = Format("did not come back in update mode within %u s", d_.waitSeconds);
        break;
      case UpdateModeResult::Outcome::Cancelled:
        t.pass = false;
        t.reason = "interrupted";
        break;
    }
  }
}

void FlashRun::RunSessions() {
  std::vector<std::string> locations;
  for (const Target& t : targets_)
    if (t.ready && !t.pass) locations.push_back(t.location);
  display_.Start(locations);
  std::vector<std::unique_ptr<KeyboardSink>> sinks;
  std::vector<std::function<void()>> jobs;
  for (Target& t : targets_) {
    if (!t.ready || t.pass) continue;
    sinks.push_back(std::make_unique<KeyboardSink>(display_.SinkFor(t.location)));
    KeyboardSink* sink = sinks.back().get();
    jobs.push_back([this, &t, sink] {
      const auto start = Clock::now();
      UpdateSession session(devices_->Hid(), t.interfaces, image_.data(), sink, counter_.Source(),
                            InterruptScope::Flag());
      const int result = session.Run();
      t.seconds = Seconds(start);
      t.pass = result == kUpdateRunOk;
      if (session.Cancelled()) {
        t.reason = "interrupted";
      } else if (!*t.pass) {
        t.reason = sink->notes.empty() ? "failed" : sink->notes.back();
      }
    });
  }
  RunConcurrently(std::move(jobs));
  display_.Stop();
}

int FlashRun::Finish(int code) {
  const bool interrupted = InterruptScope::Interrupted();
  bool allPass = !targets_.empty();
  for (const Target& t : targets_) allPass = allPass && t.pass.value_or(false);
  if (interrupted) {
    allPass = false;
    for (Target& t : targets_) {
      if (t.pass.value_or(false)) continue;
      // The table's reason too: a keyboard stopped before its run had none.
      if (t.reason.empty()) t.reason = "interrupted";
      Error(t.location + ": interrupted; " +
            (t.entrySent || t.startMode == KeyboardMode::Update
                 ? "the keyboard is probably still in update mode: run flash again"
                 : "nothing was sent to it; it runs as before"));
    }
  }
  if (logOpen_ && !log_.Write(allPass)) {
    Error(std::string("writing ") + kResultLogName + " failed: " + log_.Error());
    code = kExitOutput;
  }
  if (trace_ && !trace_->Close()) {
    Error(trace_->Error() + "; the trace is incomplete");
    code = kExitOutput;
  }
  if (code == kExitOk && !allPass) code = kExitFailed;
  // As when no keyboard at all appeared: a named one missing is the run's
  // outcome, whatever the others did.
  if (code == kExitFailed &&
      std::any_of(targets_.begin(), targets_.end(), [](const Target& t) { return t.absent; }))
    code = kExitNoKeyboard;
  if (interrupted) code = InterruptScope::ExitCode();
  const double elapsed = Seconds(started_);
  if (o_.json) {
    for (const Target& t : targets_)
      PrintJsonLine({{"type", "keyboard"},
                     {"location", t.location},
                     {"result", t.pass.value_or(false) ? "PASS" : "FAIL"},
                     {"elapsed_s", t.seconds},
                     {"reason", t.reason}});
    PrintJsonLine({{"type", "result"},
                   {"result", allPass ? "PASS" : "FAIL"},
                   {"exit_code", code},
                   {"elapsed_s", elapsed}});
  } else {
    std::size_t width = 8;
    for (const Target& t : targets_) width = std::max(width, t.location.size());
    std::printf("%-*s  result  time     reason\n", static_cast<int>(width), "location");
    for (const Target& t : targets_)
      std::printf("%-*s  %-6s  %5.1f s  %s\n", static_cast<int>(width), t.location.c_str(),
                  t.pass.value_or(false) ? "PASS" : "FAIL", t.seconds, t.reason.c_str());
    Info(Format("%s after %.1f s", allPass ? "passed" : "failed", elapsed));
    std::printf("%s\n", allPass ? "PASS" : "FAIL");
  }
  std::fflush(stdout);
  return code;
}

int FlashRun::Run() {
  if (const std::string e = FinishDeviceOptions(d_); !e.empty())
    return Refuse(e + " (see kbupdate flash --help)");
  if (const int e = CheckOutputs()) return e;
  const InterruptScope interrupts(InterruptScope::Second::EndsProcess);

  // The result log first: a run refused from here on leaves FAIL.
  if (!o_.dryRun)
    if (const int e = OpenLog()) return e;
  if (const int e = Convert()) return e;

  std::string error;
  int failure = kExitNoHid;
  devices_ = Devices::Open(d_, error, failure);
  if (!devices_) {
    Error(error);
    return failure;
  }
  if (!d_.trace.empty() && !o_.dryRun) {
    trace_ = std::make_unique<FlashTrace>(d_.trace, PerKeyboardTrace());
    if (!trace_->Create(KnownLocations())) {
      Error(trace_->Error());
      return kExitOutput;
    }
    FlashTrace* trace = trace_.get();
    tracing_ = std::make_unique<TracingHidBackend>(
        devices_->Hid(), [trace](const TraceRecord& r) { trace->Write(r); });
    devices_->Wrap(*tracing_);
  }

  if (const int e = FindTargets()) {
    if (trace_) trace_->Close();
    return e;
  }
  if (o_.dryRun) return DryRun();
  EnterAndWait();
  bool anyReady = false;
  for (const Target& t : targets_) anyReady = anyReady || t.ready;
  if (!anyReady && !InterruptScope::Interrupted()) {
    for (const Target& t : targets_) Error(t.location + ": " + t.reason);
    return Finish(kExitNoKeyboard);
  }
  if (!InterruptScope::Interrupted()) RunSessions();
  return Finish(kExitOk);
}

}  // namespace

VerbRun SetUpFlash(CLI::App& command) {
  auto o = std::make_shared<FlashOptions>();
  AddDeviceOptions(
      command, o->device,
      kSimulate | kSimKeyboards | kSimMemory | kSimFaults | kSimNoAccess | kPort | kWait | kTrace);
  AddJsonOption(command, o->json);
  command.add_flag("--all", o->all);
  command.add_flag("--dry-run", o->dryRun);
  command.add_option("FILE.hex", o->file)->required();
  return [o] { return FlashRun(*o).Run(); };
}

}  // namespace kbt::cli
