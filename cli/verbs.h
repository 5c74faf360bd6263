// The verbs of `kbupdate` and the exit codes they share. Each verb is one
// function over its own arguments (the words after the verb's name) and one
// help text; cli/main.cpp lists them.
#pragma once

#include <string>
#include <vector>

namespace kbt {
class HidBackend;
}

namespace kbt::cli {

// Exit codes, the same for every verb (listed by `kbupdate --help`).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation ran and failed
inline constexpr int kExitUsage = 2;   // wrong command line
inline constexpr int kExitInput = 3;   // the input file cannot be opened or read
inline constexpr int kExitOutput = 4;  // the output file cannot be written

using Arguments = std::vector<std::string>;

int RunConvert(const Arguments& args);
extern const char kConvertHelp[];

int RunInspect(const Arguments& args);
extern const char kInspectHelp[];

int RunList(const Arguments& args);
extern const char kListHelp[];

// The interfaces that discovery would use but cannot open, each with the HID
// layer's reason (permission denied and the hint about access rules, ...).
// Empty when every one opens or there is none.
std::vector<std::string> AccessProblems(HidBackend& hid);

int RunFlash(const Arguments& args);
extern const char kFlashHelp[];

}  // namespace kbt::cli
