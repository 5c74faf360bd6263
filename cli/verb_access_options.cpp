// `kbupdate access`: its help text and options, the same on every system.
// What it does is the system's: verb_access_linux.cpp (udev rules),
// verb_access_windows.cpp (no rule is needed).
#include <CLI/CLI.hpp>
#include <memory>

#include "cli/common_options.h"
#include "cli/verb_access.h"
#include "cli/verbs.h"

namespace kbt::cli {

const char kAccessHelp[] =
    "usage: kbupdate access [--install] [--simulate [--sim-keyboards N]\n"
    "                       [--sim-no-access[=@K]]] [--json]\n"
    "\n"
    "Linux: prints the udev rule lines that let the current user open every\n"
    "keyboard present (a keyboard in normal operation by its own vendor and\n"
    "product ID, and the update-mode device 0603:1020 that it turns into), in\n"
    "the form of res/udev/70-kbupdate.rules, and says for each keyboard whether\n"
    "the user can open it now. Keyboards are matched by their IDs, never by\n"
    "node name. Lines that an installed rule file already covers are marked.\n"
    "The output is itself a rule file: `kbupdate access > my.rules` works.\n"
    "Run through sudo, the user is the one who called sudo.\n"
    "\n"
    "  --install   (as root) adds the missing lines to\n"
    "              /etc/udev/rules.d/71-kbupdate-local.rules, never a line twice,\n"
    "              reloads the rules, triggers the hidraw devices, checks again\n"
    "              and says what changed. Without udev daemon it says so: the\n"
    "              rules then apply once one runs.\n"
    "  --simulate  the simulated keyboards (sim-1..sim-N) instead of the real\n"
    "              ones; --install then needs KBUPDATE_RULES_FILE\n"
    "  --sim-keyboards N        N simulated keyboards (default 1)\n"
    "  --sim-no-access[=@K]     simulated keyboard K (default 1) refuses to be\n"
    "                           opened until a rule file covers its IDs\n"
    "  --json      one JSON object per line on stdout instead of the text:\n"
    "    {\"type\":\"keyboard\", \"location\", \"mode\" (\"normal\"|\"update\"),\n"
    "     \"vendor_id\", \"product_id\" (null when unreadable), \"can_open\",\n"
    "     \"reason\" (why not, or null)}\n"
    "    {\"type\":\"rule\", \"line\", \"installed\"}\n"
    "    with --install, last: {\"type\":\"install\", \"file\", \"added\",\n"
    "     \"udev\" (\"reloaded\"|\"no daemon\"|\"failed\"|\"simulated\"),\n"
    "     \"opened_now\" (locations that open only since), \"still_closed\"}\n"
    "\n"
    "Environment (tests): KBUPDATE_RULES_FILE, the rule file to read and extend\n"
    "instead of the installed ones (no root needed); KBUPDATE_UDEVADM, the\n"
    "udevadm program to run.\n"
    "\n"
    "Windows gives every user access to the keyboard's HID interfaces: the\n"
    "verb says that no rule is needed.\n"
    "\n"
    "exit codes: 0 listed; with --install, every keyboard present opens now\n"
    "            1 --install: a keyboard still cannot be opened, or none is present\n"
    "            2 wrong command line\n"
    "            4 the rule file cannot be written\n"
    "            6 --install without root: run it with sudo\n"
    "            7 no HID access (no HID layer in this build, or it failed)\n";

VerbRun SetUpAccess(CLI::App& command) {
  auto o = std::make_shared<AccessOptions>();
  command.add_flag("--install", o->install);
  AddDeviceOptions(command, o->device, kSimulate | kSimKeyboards | kSimNoAccess);
  AddJsonOption(command, o->json);
  return [o] { return RunAccess(*o); };
}

}  // namespace kbt::cli
