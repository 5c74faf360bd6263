// `kbupdate verify FILE.hex`: whether the keyboard holds what FILE.hex would
// put on it, without writing anything. FILE.hex is converted and checked as
// flash does it; the keyboard's whole image is read through the read window
// and compared byte for byte.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/json_lines.h"
#include "cli/read_job.h"
#include "cli/verbs.h"
#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/firmware_signature.h"
#include "image/hex_to_bin.h"
#include "image/hex_writer.h"

namespace kbt::cli {

const char kVerifyHelp[] =
    "usage: kbupdate verify [OPTIONS] FILE.hex\n"
    "\n"
    "Says whether the keyboard holds the firmware of FILE.hex, without writing\n"
    "anything to it: converts FILE.hex and checks its signature as flash does,\n"
    "waits for the keyboard, switches one in normal operation into its update\n"
    "mode, reads its whole image, compares, and sends Finish so that the\n"
    "keyboard restarts into its firmware. The last line on stdout is PASS (the\n"
    "same 14336 bytes) or FAIL; a difference names the first differing address,\n"
    "both bytes there and how many bytes differ.\n"
    "\n" KB_READ_JOB_HELP
    "\n"
    "JSON lines (--json), each with \"type\":\n"
    "  status    text: what the command does now\n"
    "  progress  step (1 to 7, one per block read), steps (7)\n"
    "  note      text: a note of the read (a report that failed, a retry)\n"
    "  result    result (\"PASS\" or \"FAIL\"), exit_code, location,\n"
    "            differing_bytes (null when the image could not be read),\n"
    "            first_difference (address as 0xNNNN, or null), keyboard_byte and\n"
    "            file_byte (numbers, or null), information_block, elapsed_s\n"
    "Errors stay on stderr.\n"
    "\n"
    "exit codes: 0 PASS; 1 FAIL (a difference, the read failed, or the keyboard\n"
    "            did not take the Finish command);\n"
    "            2 wrong or refused command line, or keyboards at several\n"
    "              locations and no --port;\n"
    "            3 FILE.hex or the --sim-memory file cannot be opened or read;\n"
    "            4 the trace cannot be written;\n"
    "            5 FILE.hex holds no firmware signature (\"Hex File Error!\");\n"
    "            6 no keyboard appeared within the wait; 7 no HID access\n";

namespace {

struct VerifyOptions {
  ReadJobOptions job;
  std::string file;
};

int RunVerify(VerifyOptions& o) {
  const InterruptScope interrupts(InterruptScope::Second::Ignored);
  if (const std::string e = FinishDeviceOptions(o.job.device); !e.empty()) {
    Error(e + " (see kbupdate verify --help)");
    return kExitUsage;
  }
  const auto started = std::chrono::steady_clock::now();
  JobReporter report(o.job.json);

  // The file is converted and checked before any keyboard is touched.
  std::vector<std::uint8_t> expected(kImageSize, 0);
  const HexToBinResult converted =
      HexToBin(platform::PathFromArgument(o.file.c_str()), expected.data());
  if (!converted.Read()) {
    Error("cannot read " + o.file + ": " + converted.reason);
    return kExitInput;
  }
  if (!FindFirmwareSignature(expected.data())) {
    Error(o.file + " holds no firmware signature (Hex File Error!)");
    return kExitNoSignature;
  }

  ReadJobResult read;
  if (const int code = RunReadJob(o.job, report, read); code != kExitOk) return code;
  const ReadBack& data = read.data;

  ImageDifference diff;
  if (!data.imageRead) {
    Error("reading the keyboard at " + read.location + " failed; nothing compared");
  } else {
    diff = CompareImages(expected, data.image);
    if (diff.count != 0)
      Error(
          Format("the keyboard at %s differs from %s at 0x%04zx (keyboard %02x, file %02x); "
                 "%zu byte%s differ%s",
                 read.location.c_str(), o.file.c_str(), diff.first, diff.actual, diff.expected,
                 diff.count, diff.count == 1 ? "" : "s", diff.count == 1 ? "s" : ""));
    if (!data.finished)
      Error("the keyboard at " + read.location +
            " did not take the Finish command and stays in update mode until it is unplugged");
  }
  const bool pass = data.imageRead && diff.count == 0;
  int code = pass && read.run == kUpdateRunOk ? kExitOk : kExitFailed;
  if (code == kExitOk && read.traceIncomplete) code = kExitOutput;

  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (o.job.json) {
    const bool differs = data.imageRead && diff.count != 0;
    PrintJsonLine(
        {{"type", "result"},
         {"result", pass ? "PASS" : "FAIL"},
         {"exit_code", code},
         {"location", read.location},
         {"differing_bytes", data.imageRead ? Json(diff.count) : Json(nullptr)},
         {"first_difference", differs ? Json(Format("0x%04zx", diff.first)) : Json(nullptr)},
         {"keyboard_byte", differs ? Json(diff.actual) : Json(nullptr)},
         {"file_byte", differs ? Json(diff.expected) : Json(nullptr)},
         {"information_block",
          data.informationBlockRead ? Json(InfoBlockText(data)) : Json(nullptr)},
         {"elapsed_s", std::round(elapsed * 10) / 10}});
  } else {
    if (data.informationBlockRead) Detail("information block: " + InfoBlockText(data));
    const std::string outcome = pass ? "the keyboard holds " + o.file : "verify failed";
    Info(Format("%s (%.1f s)", outcome.c_str(), elapsed));
    std::printf("%s\n", pass ? "PASS" : "FAIL");
  }
  std::fflush(stdout);
  return code;
}

}  // namespace

VerbRun SetUpVerify(CLI::App& command) {
  auto o = std::make_shared<VerifyOptions>();
  AddReadJobOptions(command, o->job);
  command.add_option("FILE.hex", o->file)->required();
  return [o] { return RunVerify(*o); };
}

}  // namespace kbt::cli
