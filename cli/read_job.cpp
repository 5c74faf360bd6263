#include "cli/read_job.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "cli/console.h"
#include "cli/devices.h"
#include "cli/flash_trace.h"
#include "cli/json_lines.h"
#include "cli/verbs.h"
#include "device/device_events.h"
#include "device/hid_trace.h"
#include "device/keyboard_choice.h"
#include "image/file_platform.h"

namespace kbt::cli {

void AddReadJobOptions(CLI::App& verb, ReadJobOptions& o) {
  AddDeviceOptions(verb, o.device,
                   kSimulate | kSimKeyboards | kSimFaults | kSimMemory | kPort | kWait | kTrace);
  AddJsonOption(verb, o.json);
}

void JobReporter::Status(const std::string& text) {
  if (json_) {
    PrintJsonLine({{"type", "status"}, {"text", text}});
  } else {
    Info(text);
  }
}

void JobReporter::Note(const std::string& text) {
  if (json_) {
    PrintJsonLine({{"type", "note"}, {"text", text}});
  } else {
    std::fprintf(stderr, "  %s\n", text.c_str());
  }
}

std::string InfoBlockText(const ReadBack& data) {
  return HexBytes(data.informationBlock.data(), data.informationBlock.size());
}

namespace {

constexpr int kBlocks = UpdateSession::kReadSteps;

// The read's progress: a bar redrawn in place on a terminal, one line per
// block otherwise, or a JSON line per block; notes kept for the end.
class ReadProgress : public SessionSink {
 public:
  explicit ReadProgress(bool json)
      : json_(json), quiet_(CurrentVerbosity() == Verbosity::Quiet), tty_(IsTerminal(2)) {}
  void Step(const SessionProgress& p) override {
    const int shown = p.Position();
    if (json_) {
      PrintJsonLine({{"type", "progress"}, {"step", shown}, {"steps", kBlocks}});
      return;
    }
    if (quiet_) return;
    if (tty_) {
      std::fprintf(stderr, "\rreading [%-7s] %d/%d", std::string(shown, '#').c_str(), shown,
                   kBlocks);
      drawn_ = true;
    } else {
      std::fprintf(stderr, "progress %d/%d\n", shown, kBlocks);
    }
    std::fflush(stderr);
  }
  void Note(const std::string& line) override { notes.push_back(line); }
  void EndLine() {
    if (drawn_) std::fputc('\n', stderr);
    drawn_ = false;
  }
  std::vector<std::string> notes;

 private:
  bool json_;
  bool quiet_;
  bool tty_;
  bool drawn_ = false;
};

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& i : items) out += (out.empty() ? "" : ", ") + i;
  return out;
}

}  // namespace

int RunReadJob(ReadJobOptions& o, JobReporter& report, ReadJobResult& result) {
  DeviceOptions& d = o.device;
  if (d.ports.size() > 1) {
    Error("--port names one keyboard; this verb reads one at a time");
    return kExitUsage;
  }
  const std::string port = d.ports.empty() ? std::string() : d.ports.front();

  // The HID layer and its events.
  std::string error;
  int failure = kExitNoHid;
  const std::unique_ptr<Devices> devices = Devices::Open(d, error, failure);
  if (!devices) {
    Error(error);
    return failure;
  }
  HidBackend* hid = &devices->Hid();
  DeviceEventSource* events = devices->Events();

  // One keyboard: every report goes to the named file itself.
  FlashTrace trace(d.trace, false);
  std::unique_ptr<TracingHidBackend> tracing;
  if (!d.trace.empty()) {
    if (!trace.Create({})) {
      Error(trace.Error());
      return kExitOutput;
    }
    tracing = std::make_unique<TracingHidBackend>(
        *hid, [&trace](const TraceRecord& r) { trace.Write(r); });
    hid = tracing.get();
  }

  report.Status(port.empty() ? "looking for the keyboard..."
                             : "looking for the keyboard at " + port + "...");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(d.waitSeconds);
  const UpdateModeWait found =
      WaitForUpdateMode(*hid, events, port, deadline, InterruptScope::Flag(),
                        [&report](const std::string& s) { report.Status(s); });
  switch (found.outcome) {
    case UpdateModeWait::Outcome::Ready:
      break;
    case UpdateModeWait::Outcome::Several:
      Error("keyboards at several locations: " + Joined(found.locations) +
            "; name one with --port LOCATION");
      return kExitUsage;
    case UpdateModeWait::Outcome::NoAccess:
      Error(found.error);
      return kExitNoHid;
    case UpdateModeWait::Outcome::Cancelled:
      Error("interrupted: nothing was read");
      return InterruptScope::ExitCode();
    case UpdateModeWait::Outcome::TimedOut: {
      std::string text =
          found.entered
              ? Format("the keyboard did not come back in update mode within %u s", d.waitSeconds)
          : port.empty() ? Format("no keyboard appeared within %u s", d.waitSeconds)
                         : Format("no keyboard at %s within %u s", port.c_str(), d.waitSeconds);
      if (!port.empty() && !found.locations.empty())
        text += " (keyboards at " + Joined(found.locations) + ")";
      Error(text);
      for (const std::string& p : AccessProblems(*hid)) std::fprintf(stderr, "  %s\n", p.c_str());
      return kExitNoKeyboard;
    }
  }
  result.location = found.keyboard.location;
  report.Status("reading the keyboard at " + result.location + "...");

  ReadProgress progress(o.json);
  UpdateSession session(
      *hid, {found.keyboard.data, found.keyboard.command, result.location, found.keyboard.listed},
      nullptr, &progress, {}, InterruptScope::Flag());
  result.run = session.ReadBackRun(result.data);
  progress.EndLine();
  if (session.Cancelled()) {
    for (const auto& line : progress.notes) report.Note(line);
    Error("interrupted; nothing written");
    return InterruptScope::ExitCode();
  }
  result.notes = progress.notes;
  if (result.run != kUpdateRunOk || CurrentVerbosity() == Verbosity::Verbose || o.json)
    for (const auto& line : result.notes) report.Note(line);
  if (!d.trace.empty() && !trace.Close()) {
    Error(trace.Error() + "; the trace is incomplete");
    result.traceIncomplete = true;
  }
  return kExitOk;
}

}  // namespace kbt::cli
