// The verbs of `kbupdate` and the exit codes they share. A verb is one file
// (cli/verb_NAME.cpp) with a set-up function and a help text, or, where what
// it does differs by system, cli/verb_NAME_options.cpp with those and one
// file per system (access), or, where only a little differs, cli/verb_NAME.cpp
// with the run as well and one small file per system for that little
// (station); cli/main.cpp lists them in one table.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace kbt::cli {

// Exit codes, the same for every verb (listed by `kbupdate --help`).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;         // the operation ran and failed
inline constexpr int kExitUsage = 2;          // wrong command line, or a refused one
inline constexpr int kExitInput = 3;          // the input file cannot be opened or read
inline constexpr int kExitOutput = 4;         // an output file cannot be written
inline constexpr int kExitNoSignature = 5;    // the HEX file holds no firmware signature
inline constexpr int kExitNoKeyboard = 6;     // no keyboard appeared within the wait
inline constexpr int kExitNoHid = 7;          // no HID access
inline constexpr int kExitInterrupted = 130;  // SIGINT (Ctrl+C); SIGTERM gives 143
inline constexpr int kExitTerminated = 143;

// A verb adds its options and arguments to `command`, bound to variables it
// owns, and returns what runs it once the command line has been parsed.
using VerbRun = std::function<int()>;
using VerbSetUp = VerbRun (*)(CLI::App& command);

VerbRun SetUpConvert(CLI::App& command);
extern const char kConvertHelp[];

VerbRun SetUpInspect(CLI::App& command);
extern const char kInspectHelp[];

VerbRun SetUpList(CLI::App& command);
extern const char kListHelp[];

VerbRun SetUpFlash(CLI::App& command);
extern const char kFlashHelp[];

VerbRun SetUpDump(CLI::App& command);
extern const char kDumpHelp[];

VerbRun SetUpVerify(CLI::App& command);
extern const char kVerifyHelp[];

VerbRun SetUpAccess(CLI::App& command);
extern const char kAccessHelp[];

VerbRun SetUpStation(CLI::App& command);
extern const char kStationHelp[];

// Linux only: the stations' record in PostgreSQL.
VerbRun SetUpResults(CLI::App& command);
extern const char kResultsHelp[];

}  // namespace kbt::cli
