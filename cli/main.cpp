// kbupdate: the command-line companion of the dialog, over the same core.
//
// Adding a verb: write cli/verb_NAME.cpp with `int RunName(const Arguments&)`
// and its help text `kNameHelp`, declare both in cli/verbs.h, add one line to
// kVerbs below and the source file to cli/CMakeLists.txt.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/verbs.h"

namespace kbt::cli {
namespace {

struct Verb {
  const char* name;
  int (*run)(const Arguments& args);
  const char* summary;  // one line for the overview
  const char* help;     // `kbupdate help VERB`, `kbupdate VERB --help`
};

constexpr Verb kVerbs[] = {
    {"convert", RunConvert, "convert an Intel HEX file into the 14336-byte image", kConvertHelp},
    {"inspect", RunInspect, "report what the converter silently accepts in a HEX file",
     kInspectHelp},
    {"flash", RunFlash, "update the keyboard's firmware from a HEX file", kFlashHelp},
    {"list", RunList, "list the HID interfaces and what device discovery makes of them", kListHelp},
};

#ifndef KB_VERSION
#define KB_VERSION "unknown"
#endif

void PrintOverview(std::FILE* out) {
  std::fprintf(out,
               "usage: kbupdate VERB [ARGUMENTS]\n"
               "       kbupdate help VERB | kbupdate VERB --help\n"
               "       kbupdate --version\n"
               "\n"
               "Puts new firmware onto the keyboard controller, and looks at firmware files.\n"
               "\n"
               "verbs:\n");
  for (const Verb& v : kVerbs) std::fprintf(out, "  %-9s %s\n", v.name, v.summary);
  std::fprintf(out,
               "\n"
               "exit codes:\n"
               "  0  success\n"
               "  1  the operation ran and failed\n"
               "  2  wrong command line\n"
               "  3  the input file cannot be opened or read\n"
               "  4  the output file cannot be written\n");
}

const Verb* FindVerb(const char* name) {
  for (const Verb& v : kVerbs) {
    if (std::strcmp(v.name, name) == 0) return &v;
  }
  return nullptr;
}

bool IsHelpFlag(const char* arg) {
  return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

int UnknownVerb(const char* name) {
  std::fprintf(stderr, "kbupdate: unknown verb '%s' (see kbupdate --help)\n", name);
  return kExitUsage;
}

int Main(int argc, char** argv) {
  if (argc < 2) {
    PrintOverview(stderr);
    return kExitUsage;
  }
  const char* first = argv[1];
  if (IsHelpFlag(first)) {
    PrintOverview(stdout);
    return kExitOk;
  }
  if (std::strcmp(first, "--version") == 0) {
    std::printf("kbupdate %s\n", KB_VERSION);
    return kExitOk;
  }
  if (std::strcmp(first, "help") == 0) {
    if (argc < 3 || IsHelpFlag(argv[2])) {
      PrintOverview(stdout);
      return kExitOk;
    }
    const Verb* verb = FindVerb(argv[2]);
    if (!verb) return UnknownVerb(argv[2]);
    std::fputs(verb->help, stdout);
    return kExitOk;
  }
  const Verb* verb = FindVerb(first);
  if (!verb) return UnknownVerb(first);
  Arguments args;
  for (int i = 2; i < argc; ++i) {
    if (IsHelpFlag(argv[i])) {
      std::fputs(verb->help, stdout);
      return kExitOk;
    }
    args.emplace_back(argv[i]);
  }
  return verb->run(args);
}

}  // namespace
}  // namespace kbt::cli

int main(int argc, char** argv) {
  return kbt::cli::Main(argc, argv);
}
