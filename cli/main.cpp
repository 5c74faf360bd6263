// kbupdate: the command-line companion of the dialog, over the same core.
//
// Adding a verb:
//   1. write cli/verb_NAME.cpp with `VerbRun SetUpName(CLI::App& command)`,
//      which adds the verb's options and arguments to `command` (the shared
//      ones through cli/common_options.h) and returns the function that runs
//      it, and its help text `kNameHelp` (usage, what it does, every option,
//      the JSON fields if it takes --json, its exit codes);
//   2. declare both in cli/verbs.h, add one line to kVerbs below and the
//      source file to cli/CMakeLists.txt.
// Messages go through cli/console.h; exit codes are the ones in verbs.h.
// main handles --help, -v/-q, parse errors and a failed stdout for every verb.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/verbs.h"

namespace kbt::cli {
namespace {

struct Verb {
  const char* name;
  VerbSetUp setUp;
  const char* summary;  // one line for the overview
  const char* help;     // `kbupdate help VERB`, `kbupdate VERB --help`
};

constexpr Verb kVerbs[] = {
    {"convert", SetUpConvert, "convert an Intel HEX file into the 14336-byte image", kConvertHelp},
    {"inspect", SetUpInspect, "report what the converter silently accepts in a HEX file",
     kInspectHelp},
    {"flash", SetUpFlash, "update the keyboard's firmware from a HEX file", kFlashHelp},
    {"dump", SetUpDump, "read the keyboard's firmware into a HEX file, writing nothing", kDumpHelp},
    {"verify", SetUpVerify, "compare the keyboard's firmware with a HEX file, writing nothing",
     kVerifyHelp},
    {"list", SetUpList, "list the keyboards and HID interfaces and what discovery makes of them",
     kListHelp},
    {"access", SetUpAccess, "the udev rules that give this user the keyboards present (Linux)",
     kAccessHelp},
    {"station", SetUpStation, "update every keyboard plugged in, each unit once, with a log",
     kStationHelp},
#ifndef _WIN32
    {"results", SetUpResults, "the stations' shared record in PostgreSQL: push a log, summary",
     kResultsHelp},
#endif
};

#ifndef KB_VERSION
#define KB_VERSION "unknown"
#endif

void PrintOverview(std::FILE* out) {
  std::fprintf(out,
               "usage: kbupdate [-v|-q] VERB [OPTIONS] [ARGUMENTS]\n"
               "       kbupdate help VERB | kbupdate VERB --help\n"
               "       kbupdate --version\n"
               "\n"
               "Puts new firmware onto the keyboard controller, and looks at firmware files.\n"
               "\n"
               "verbs:\n");
  for (const Verb& v : kVerbs) std::fprintf(out, "  %-9s %s\n", v.name, v.summary);
  std::fprintf(out,
               "\n"
               "options of every verb:\n"
               "  -v, --verbose  say more about what happens\n"
               "  -q, --quiet    print nothing but errors and results\n"
               "  --             ends the options: every later word is an argument\n"
               "A file argument \"-\" is standard input (convert and inspect read it) or\n"
               "standard output (convert writes the image there).\n"
               "\n"
               "exit codes:\n"
               "  0    success\n"
               "  1    the operation ran and failed\n"
               "  2    wrong command line, or one refused (an output that is the input, ...)\n"
               "  3    the input file cannot be opened or read\n"
               "  4    an output cannot be written (output file, trace, DLog.txt, stdout)\n"
               "  5    the HEX file holds no firmware signature (flash, verify)\n"
               "  6    no keyboard appeared within the wait (flash, dump, verify); not root\n"
               "       (access --install)\n"
               "  7    no HID access: no HID layer in this build, or it failed (flash, list,\n"
               "       dump, verify)\n"
               "  130  interrupted (SIGINT, Ctrl+C); 143 terminated (SIGTERM)\n");
}

const Verb* FindVerb(const std::string& name) {
  for (const Verb& v : kVerbs) {
    if (name == v.name) return &v;
  }
  return nullptr;
}

bool IsHelpFlag(const std::string& arg) {
  return arg == "--help" || arg == "-h";
}

int Usage(const std::string& text) {
  Error(text + " (see kbupdate --help)");
  return kExitUsage;
}

// `kbupdate --help`, `--version` and `help [VERB]` take nothing more.
int NoMoreArguments(const std::vector<std::string>& args, std::size_t allowed) {
  if (args.size() > allowed) return Usage("'" + args[allowed] + "' after " + args[allowed - 1]);
  return -1;
}

// Whether --help stands among the verb's arguments before a "--".
bool AsksForHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (IsHelpFlag(a)) return true;
  }
  return false;
}

int RunVerb(const Verb& verb, const std::vector<std::string>& args, Verbosity leading) {
  SetConsole(verb.name, leading);
  if (AsksForHelp(args)) {
    if (args.size() != 1) {
      Error("--help takes no other arguments (see kbupdate " + std::string(verb.name) + " --help)");
      return kExitUsage;
    }
    std::fputs(verb.help, stdout);
    return kExitOk;
  }
  CLI::App command{"", std::string("kbupdate ") + verb.name};
  command.set_help_flag();  // main's own --help, above
  bool verbose = leading == Verbosity::Verbose;
  bool quiet = leading == Verbosity::Quiet;
  command.add_flag("-v,--verbose", verbose);
  command.add_flag("-q,--quiet", quiet);
  const VerbRun run = verb.setUp(command);
  try {
    // CLI11 takes the words last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    command.parse(reversed);
  } catch (const CLI::ParseError& e) {
    Error(std::string(e.what()) + " (see kbupdate " + verb.name + " --help)");
    return kExitUsage;
  }
  if (verbose && quiet) {
    Error("-v and -q exclude each other");
    return kExitUsage;
  }
  SetConsole(verb.name, verbose ? Verbosity::Verbose
                        : quiet ? Verbosity::Quiet
                                : Verbosity::Normal);
  return run();
}

int Main(const std::vector<std::string>& all) {
  std::size_t at = 0;
  Verbosity leading = Verbosity::Normal;
  for (; at < all.size(); ++at) {
    if (all[at] == "-v" || all[at] == "--verbose") {
      leading = Verbosity::Verbose;
    } else if (all[at] == "-q" || all[at] == "--quiet") {
      leading = Verbosity::Quiet;
    } else {
      break;
    }
  }
  const std::vector<std::string> args(all.begin() + static_cast<long>(at), all.end());
  if (args.empty()) {
    PrintOverview(stderr);
    return kExitUsage;
  }
  const std::string& first = args[0];
  if (IsHelpFlag(first)) {
    if (const int e = NoMoreArguments(args, 1); e >= 0) return e;
    PrintOverview(stdout);
    return kExitOk;
  }
  if (first == "--version") {
    if (const int e = NoMoreArguments(args, 1); e >= 0) return e;
    std::printf("kbupdate %s\n", KB_VERSION);
    return kExitOk;
  }
  if (first == "help") {
    if (args.size() < 2 || IsHelpFlag(args[1])) {
      if (const int e = NoMoreArguments(args, 2); e >= 0) return e;
      PrintOverview(stdout);
      return kExitOk;
    }
    if (const int e = NoMoreArguments(args, 2); e >= 0) return e;
    const Verb* verb = FindVerb(args[1]);
    if (!verb) return Usage("unknown verb '" + args[1] + "'");
    std::fputs(verb->help, stdout);
    return kExitOk;
  }
  if (first.size() > 1 && first[0] == '-') return Usage("unknown option '" + first + "'");
  const Verb* verb = FindVerb(first);
  if (!verb) return Usage("unknown verb '" + first + "'");
  return RunVerb(*verb, {args.begin() + 1, args.end()}, leading);
}

// Output that never reached stdout (a full disk, a closed pipe) is a failed
// write like any other: exit 4, not success. A verb that has already failed
// has said why; its own code stands.
int CheckStdout(int code) {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
  if (flushed || (code != kExitOk && code != kExitFailed)) return code;
  const int error = StdoutError() ? StdoutError() : errno;
  Error("writing to standard output failed: " + Reason(error ? error : EIO));
  return kExitOutput;
}

}  // namespace
}  // namespace kbt::cli

int main(int argc, char** argv) {
  using namespace kbt::cli;
  int code = kExitFailed;
  try {
    code = Main(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    // Every expected failure is a message and an exit code of its own; this
    // is the net under the rest, so that no exception ends the process.
    Error(std::string("unexpected error: ") + e.what());
  } catch (...) {
    Error("unexpected error");
  }
  return CheckStdout(code);
}
