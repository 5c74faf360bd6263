// Options that several verbs share, defined once so that they are spelled,
// checked and documented the same everywhere: --json, and the device options
// (--simulate with the simulated keyboard's faults, --port, --wait, --trace).
// A verb adds the ones it takes; its help text lists them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/keyboard_model.h"
#include "sim/sim_bus.h"

namespace CLI {
class App;
}

namespace kbt::cli {

// --json: one JSON object per line on stdout instead of text.
void AddJsonOption(CLI::App& verb, bool& json);

struct DeviceOptions {
  bool simulate = false;
  unsigned simKeyboards = 1;
  std::vector<std::string> ports;  // --port LOCATION, repeatable
  unsigned waitSeconds = 30;
  std::string trace;
  // --sim-memory FILE: what the simulated flash holds (empty: the demo
  // firmware built into the program).
  std::string simMemory;

  // The fault flags as given: "N" or "N@K" (K: the simulated keyboard, 1 by
  // default); FinishDeviceOptions turns them into `faults`.
  std::vector<std::string> failOnce, failFrom, unplugAt, rejectBlock, corruptBlock, refuseEntry;
  std::vector<std::string> noAccess;          // --sim-no-access[=@K]
  std::map<unsigned, sim::SimFaults> faults;  // by simulated keyboard, 1..simKeyboards
};

enum DeviceOptionSet : unsigned {
  kSimulate = 1u << 0,      // --simulate
  kSimKeyboards = 1u << 1,  // --sim-keyboards N
  kSimFaults = 1u << 2,     // --sim-fail, --sim-unplug, ...
  kPort = 1u << 3,          // --port LOCATION
  kWait = 1u << 4,          // --wait SECONDS
  kTrace = 1u << 5,         // --trace FILE
  kSimMemory = 1u << 6,     // --sim-memory FILE
  kSimNoAccess = 1u << 7,   // --sim-no-access: a keyboard refuses this user
};

void AddDeviceOptions(CLI::App& verb, DeviceOptions& options, unsigned which);

// Checks what the parser cannot (a fault needs --simulate, a keyboard number
// in range) and fills `faults`. Empty when fine, else the sentence to print.
std::string FinishDeviceOptions(DeviceOptions& options);

// The simulated flash's content: the file of --sim-memory (Intel HEX,
// converted as flash converts it, or a raw image in a file named *.bin of
// exactly 14336 bytes), or the demo firmware. False with the sentence to
// print; the exit code is then kExitInput.
bool LoadSimMemory(const std::string& file, std::vector<std::uint8_t>& image, std::string& error);

// Puts `image` into a simulated keyboard's flash; a flash whose byte 0 is
// 0x00 holds no application, so the keyboard then powers on in update mode.
void SetSimMemory(sim::SimBus& bus, const std::vector<std::uint8_t>& image);

// The help text's paragraph on --sim-memory.
#define KB_SIM_MEMORY_HELP                                                      \
  "  --sim-memory FILE  what the simulated keyboard's flash holds before the\n" \
  "                     run: an Intel HEX file, or a raw 14336-byte image in\n" \
  "                     a file named *.bin (default: the demo firmware)\n"

// The help text's paragraph on the fault flags, shared by the verbs that
// take them (a macro, so that it joins their help literals).
#define KB_SIM_FAULTS_HELP                                                           \
  "Faults of the simulated keyboard (with --simulate). Reports are counted\n"        \
  "from the Begin command on, repetitions included, so that in a run\n"              \
  "without repetitions N is the report's place in the update sequence.\n"            \
  "Each flag takes @K for the simulated keyboard it hits (default 1):\n"             \
  "  --sim-fail=N[@K]          the N-th report fails once\n"                         \
  "  --sim-fail-from=N[@K]     the N-th report and every later one fail\n"           \
  "  --sim-unplug=N[@K]        the keyboard leaves the bus instead of answering N\n" \
  "  --sim-reject-block=B[@K]  every write of image block B (0 to 6) fails\n"        \
  "  --sim-corrupt=B[@K]       every read-back of image block B differs\n"           \
  "  --sim-refuse-entry[=@K]   the keyboard ignores the Enter-update-mode command\n" \
  "  --sim-no-access[=@K]      opening the keyboard is refused (no access rule)\n"

}  // namespace kbt::cli
