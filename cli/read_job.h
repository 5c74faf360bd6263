// What `dump` and `verify` share: their device options, the HID layer (the
// simulated keyboards with their flash and faults, or the platform's), the
// trace, finding the one keyboard and bringing it into update mode, and the
// read itself with its progress. Neither verb writes a byte to the keyboard.
#pragma once

#include <string>

#include "cli/common_options.h"
#include "cli/interrupts.h"
#include "device/session.h"

namespace CLI {
class App;
}

namespace kbt::cli {

struct ReadJobOptions {
  DeviceOptions device;
  bool json = false;
};

// --simulate, --sim-keyboards, --sim-memory, the faults, --port, --wait,
// --trace, --json.
void AddReadJobOptions(CLI::App& verb, ReadJobOptions& options);

// The options of the help texts, and what the faults count.
#define KB_READ_JOB_HELP                                                                       \
  "  --port LOCATION   the keyboard at LOCATION (as `kbupdate list` shows it);\n"              \
  "                    needed when keyboards are present at several locations\n"               \
  "  --wait SECONDS    how long to wait for the keyboard (default 30)\n"                       \
  "  --trace FILE      write every report sent or requested to FILE, one per\n"                \
  "                    line: number, interface, set or get, ok or fail, bytes\n"               \
  "  --json            one JSON object per line on stdout instead of the text\n"               \
  "  -q, --quiet       no progress, only errors and the result\n"                              \
  "  -v, --verbose     also the read's notes when it succeeds\n"                               \
  "  --simulate        read the simulated keyboard instead of a real one\n"                    \
  "  --sim-keyboards N simulated keyboards at sim-1 .. sim-N (default 1)\n" KB_SIM_MEMORY_HELP \
  "\n"                                                                                         \
  "Faults of the simulated keyboard (with --simulate) count the reports from\n"                \
  "the first one sent to the keyboard in update mode (the image read window is\n"              \
  "report 1; reports 2 to 8 read the seven blocks, 9 to 11 the information\n"                  \
  "block, 12 is the Finish command), repetitions included:\n"                                  \
  "  --sim-fail=N[@K] --sim-fail-from=N[@K] --sim-unplug=N[@K]\n"                              \
  "  --sim-corrupt=B[@K] --sim-refuse-entry[=@K]   (see kbupdate flash --help)\n"

// Where the job's messages go: text on stderr, or JSON lines on stdout.
class JobReporter {
 public:
  explicit JobReporter(bool json) : json_(json) {}
  bool Json() const { return json_; }
  void Status(const std::string& text);
  void Note(const std::string& text);

 private:
  bool json_;
};

struct ReadJobResult {
  std::string location;  // the keyboard read
  ReadBack data;
  int run = kUpdateRunFailed;  // the read's own result
  std::vector<std::string> notes;
  // Writing the trace failed part way (said already): the verb ends with
  // exit code 4 once its own work is done.
  bool traceIncomplete = false;
};

// Sets up the HID layer, finds the keyboard and reads it. kExitOk when the
// read ran (its outcome is in `result`); otherwise the exit code, the reason
// already said: 2 keyboards at several locations and no --port, 3 the
// --sim-memory file, 4 the trace file cannot be created, 6 no keyboard
// within the wait, 7 no HID access, 130 or 143 interrupted (SIGINT,
// SIGTERM: the read stopped before its next report).
int RunReadJob(ReadJobOptions& options, JobReporter& report, ReadJobResult& result);

// The information block as hex bytes separated by spaces.
std::string InfoBlockText(const ReadBack& data);

}  // namespace kbt::cli
