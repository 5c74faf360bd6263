// The station windows' shared start-up: command line, firmware, results log.
#include "app/station_setup.h"

#include <cstdio>
#include <cstdlib>

#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/hex_file_location.h"

#ifndef KB_VERSION
#define KB_VERSION "unknown"
#endif

namespace kbt {
namespace {

std::string HelpText(const char* program, bool demo) {
  std::string text = "Usage: ";
  text += program;
  text += demo ? " [--log FILE] [--db CONNINFO [--station-name NAME]] [--places N]"
                 " [--screenshots DIR] [FILE.hex]\n"
               : " [--log FILE] [--db CONNINFO [--station-name NAME]] [FILE.hex]\n";
  text +=
      "\n"
      "The production-line station in a window: every keyboard plugged in is\n"
      "updated with FILE.hex on its own, in parallel, once per unit, and every\n"
      "unit is recorded in the results log. One tile per place shows it: light\n"
      "grey waiting, yellow updating with its progress, green PASS, red FAIL\n"
      "with its reason, and UNPLUG once the finished unit can go; the next\n"
      "keyboard plugged in at an emptied place is the next unit. Above the tiles:\n"
      "the totals, the units per hour and the results log's path. Closing the\n"
      "window cancels the runs in progress; they are recorded as FAIL\n"
      "\"interrupted\".\n"
      "\n"
      "Without FILE.hex the window uses the last *.hex file in the folder that\n"
      "holds the program, as the update dialog does.\n"
      "\n"
      "A place is where one keyboard is plugged in: the USB port on Linux, the\n"
      "USB device's location on Windows (under Wine, which names none, each\n"
      "keyboard's own device instance path); see kbupdate help station.\n"
      "\n"
      "The results log is the CSV file that `kbupdate station` writes (see\n"
      "kbupdate help station): appended to, the header only into a new or empty\n"
      "file, each line on the disk before its unit is shown finished.\n";
  text +=
      "\n"
      "With --db each unit also goes, in the background, into the PostgreSQL\n"
      "table kbupdate_units, as with kbupdate station --db: the window shows the\n"
      "database connected, or away since when with how many rows waiting in the\n"
      "log; they go once it is back. The password belongs in ~/.pgpass or the\n"
      "PGPASSWORD environment variable, never on the command line.\n";
  if (demo)
    text +=
        "\n"
        "The demo runs over eight simulated keyboards at sim-1 to sim-8 (--places\n"
        "N: sim-1 to sim-N), swapped by a scripted operator that unplugs each unit\n"
        "shown done and plugs in the next one a moment later.\n";
  text +=
      "\n"
      "Options:\n"
      "  --log FILE         the results log (default kbupdate-results.csv in the\n"
      "                     current folder)\n";
  text +=
      "  --db CONNINFO      also into this database (a libpq connection string or\n"
      "                     URI; the PG* environment variables apply)\n"
      "  --station-name NAME  the station column in the database (default: the\n"
      "                     host name)\n";
  if (demo)
    text +=
        "  --places N         N simulated keyboards, 1 to 64 (default 8)\n"
        "  --screenshots DIR  save the window as DIR/station-{updating,done,mixed}.png\n"
        "                     (.bmp on Windows) while every unit at sim-6 fails,\n"
        "                     then end; with\n"
        "                     --places N other than 8, as DIR/station-N.png once\n"
        "                     every place is updating\n";
  text +=
      "  -h, --help         show this help and exit\n"
      "  -V, --version      show the version and exit\n"
      "\n"
      "Exit status:\n"
      "  0  the window was closed\n"
      "  2  wrong command line\n"
      "  3  the firmware file cannot be found or read\n"
      "  4  the results log cannot be opened, has another header or is in use by\n"
      "     another station, or the database refused the login or has a table\n"
      "     it does not know\n"
      "  5  the firmware file holds no firmware signature\n";
  return text;
}

// The file's name without its folder.
std::wstring BaseName(const std::wstring& path) {
  std::size_t at = path.size();
  while (at > 0 && !platform::IsPathSeparator(path[at - 1])) --at;
  return path.substr(at);
}

}  // namespace

StationArguments ParseStationArguments(const std::vector<std::string>& args, bool demo) {
  StationArguments out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      out.action = StationArguments::Action::Help;
      return out;
    }
    if (a == "-V" || a == "--version") {
      out.action = StationArguments::Action::Version;
      return out;
    }
    const bool places = demo && a == "--places";
    std::string* value = a == "--log"                   ? &out.log
                         : demo && a == "--screenshots" ? &out.screenshots
                         : a == "--db"                  ? &out.db
                         : a == "--station-name"        ? &out.stationName
                                                        : nullptr;
    if (value || places) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        out.action = StationArguments::Action::Error;
        out.error = a + " needs a value";
        return out;
      }
      const std::string& given = args[++i];
      if (places) {
        char* end = nullptr;
        const long n = std::strtol(given.c_str(), &end, 10);
        if (*end != '\0' || n < 1 || n > 64) {
          out.action = StationArguments::Action::Error;
          out.error = "--places takes a number from 1 to 64, not '" + given + "'";
          return out;
        }
        out.places = static_cast<int>(n);
      } else {
        *value = given;
      }
    } else if (!a.empty() && a[0] == '-') {
      out.action = StationArguments::Action::Error;
      out.error = "unknown option '" + a + "'";
      return out;
    } else if (out.hex.empty()) {
      out.hex = a;
    } else {
      out.action = StationArguments::Action::Error;
      out.error = "one firmware file only ('" + a + "')";
      return out;
    }
  }
  return out;
}

StationAnswer AnswerWithoutWindow(const StationArguments& parsed, const char* program, bool demo) {
  switch (parsed.action) {
    case StationArguments::Action::Help:
      return {0, HelpText(program, demo), false};
    case StationArguments::Action::Version:
      return {0, std::string(program) + " " + KB_VERSION + "\n", false};
    case StationArguments::Action::Error:
      return {2, std::string(program) + ": " + parsed.error + " (see " + program + " --help)\n",
              true};
    case StationArguments::Action::Run:
      break;
  }
  return {};
}

int FinishStationWithoutWindow(const StationArguments& parsed, const char* program, bool demo) {
  const StationAnswer answer = AnswerWithoutWindow(parsed, program, demo);
  std::fputs(answer.text.c_str(), answer.error ? stderr : stdout);
  return answer.code;
}

int PrepareStationInputs(const StationArguments& args, StationInputs& inputs, std::string& error) {
  inputs.hexPath = platform::PathFromArgument(args.hex.c_str());
  if (args.hex.empty()) {
    const HexFileSearch search = FindHexFile();
    if (!search.found) {
      error = "No .hex file beside the program (" + platform::PathForDisplay(search.folder) + ").";
      return 3;
    }
    inputs.hexPath = search.path;
  }
  const std::string hexName = platform::PathForDisplay(inputs.hexPath);
  inputs.image.assign(kImageSize, 0);
  if (const FirmwareLoadResult r = LoadFirmware(inputs.hexPath, inputs.image.data()); !r.Loaded()) {
    if (r.status == FirmwareLoad::NoSignature) {
      error = hexName + " holds no firmware signature.";
      return 5;
    }
    error = "Cannot read " + hexName + ": " + r.reason;
    return 3;
  }
  inputs.firmware = platform::PathForDisplay(BaseName(inputs.hexPath));
  if (const HidResult r =
          ResultsLog::Open(args.log, inputs.firmware,
                           Sha256Hex(inputs.image.data(), inputs.image.size()), inputs.log);
      !r) {
    error = "Results log: " + r.error;
    return 4;
  }
  return 0;
}

}  // namespace kbt
