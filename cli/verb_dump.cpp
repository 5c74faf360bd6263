// `kbupdate dump OUT.hex`: a copy of what the keyboard holds, read through
// the update protocol's read windows without a byte written, so that the
// firmware can be put back later with `kbupdate flash OUT.hex`.
//
// The output files are created first (an unwritable folder is found before
// the keyboard is touched) under temporary names beside their targets, and
// renamed over them only once everything was read: a dump that fails or is
// interrupted leaves no file and never replaces an existing one.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/console.h"
#include "cli/files.h"
#include "cli/json_lines.h"
#include "cli/read_job.h"
#include "cli/verbs.h"
#include "image/atomic_file.h"
#include "image/file_platform.h"
#include "image/hex_to_bin.h"
#include "image/hex_writer.h"

namespace kbt::cli {

const char kDumpHelp[] =
    "usage: kbupdate dump [OPTIONS] OUT.hex [--bin OUT.bin]\n"
    "\n"
    "Reads the keyboard's firmware into OUT.hex without writing anything to the\n"
    "keyboard: waits for the keyboard, switches one in normal operation into its\n"
    "update mode, reads the whole 14336-byte image and the 8-byte information\n"
    "block, then sends Finish so that the keyboard restarts into its firmware.\n"
    "OUT.hex is Intel HEX (16 bytes per record, addresses 0x0000 to 0x37FF);\n"
    "`kbupdate flash OUT.hex` puts the same bytes back. The information block is\n"
    "printed on stdout in hex.\n"
    "\n"
    "OUT.hex (and OUT.bin) appear only complete: they are written under a\n"
    "temporary name beside them (OUT.hex.part-PID-N) and renamed once\n"
    "everything was read. A dump that fails leaves no file and does not replace\n"
    "an existing one; only one killed outright (SIGKILL, a power cut) can leave\n"
    "its .part- file, which may be deleted. An output that is a symbolic link\n"
    "writes the file it names; a file that is replaced keeps its permissions.\n"
    "An output that exists and is not a regular file (a folder, a device, a\n"
    "FIFO, /dev/stdout) is refused before the keyboard is touched.\n"
    "\n"
    "When image bytes 1 and 2 read 38 00, the converter's Start-byte exchange\n"
    "would move bytes 0x37FB to 0x37FD to the front when OUT.hex is converted\n"
    "again (by flash, convert or the dialog): the dump warns about it.\n"
    "\n"
    "  --bin OUT.bin     also write the raw 14336 bytes to OUT.bin\n" KB_READ_JOB_HELP
    "\n"
    "JSON lines (--json), each with \"type\":\n"
    "  status    text: what the command does now\n"
    "  progress  step (1 to 7, one per block read), steps (7)\n"
    "  note      text: a note of the read (a report that failed, a retry)\n"
    "  warning   text\n"
    "  result    result (\"ok\" or \"failed\"), exit_code, location, file, bin (or\n"
    "            null), information_block (hex, or null), elapsed_s\n"
    "Errors stay on stderr.\n"
    "\n"
    "exit codes: 0 dumped; 1 the read failed (nothing written), or the keyboard did\n"
    "            not take the Finish command (the files are written; it stays in\n"
    "            update mode until it is unplugged);\n"
    "            2 wrong or refused command line (an output that is not a\n"
    "              regular file, or is the --sim-memory file), or keyboards\n"
    "              at several locations and no --port;\n"
    "            3 the --sim-memory file cannot be read;\n"
    "            4 an output file or the trace cannot be written;\n"
    "            6 no keyboard appeared within the wait; 7 no HID access\n";

namespace {

struct DumpOptions {
  ReadJobOptions job;
  std::string out;
  std::string bin;
};

int RunDump(DumpOptions& o) {
  const InterruptScope interrupts(InterruptScope::Second::Ignored);
  if (const std::string e = FinishDeviceOptions(o.job.device); !e.empty()) {
    Error(e + " (see kbupdate dump --help)");
    return kExitUsage;
  }
  // Outputs that are renamed into place cannot be a stream.
  if (IsStdStream(o.out) || IsStdStream(o.bin)) {
    Error("dump writes to named files only, not to standard output");
    return kExitUsage;
  }
  const std::string& trace = o.job.device.trace;
  const auto same = [](const std::string& a, const std::string& b) {
    return !a.empty() && !b.empty() && (a == b || SameFile(a, b));
  };
  if (same(o.out, o.bin) || same(o.out, trace) || same(o.bin, trace)) {
    Error("OUT.hex, --bin and --trace must name different files");
    return kExitUsage;
  }
  const std::string& memory = o.job.device.simMemory;
  if (same(o.out, memory) || same(o.bin, memory)) {
    Error("the dump would replace its own --sim-memory file " + memory + "; name another output");
    return kExitUsage;
  }
  // Only a regular file is replaced: renamed over, a device node, a FIFO or
  // what /dev/stdout names would become a plain file.
  for (const std::string* name : {&o.out, &o.bin}) {
    std::wstring target;
    if (!name->empty() &&
        !platform::OutputTarget(platform::PathFromArgument(name->c_str()), target)) {
      Error(*name + ": " + ErrnoReason(errno) +
            "; dump replaces only a regular file: refused before the keyboard is touched");
      return kExitUsage;
    }
  }
  const auto started = std::chrono::steady_clock::now();
  JobReporter report(o.job.json);

  std::string error;
  AtomicFile hexFile, binFile;
  if (!hexFile.Create(platform::PathFromArgument(o.out.c_str()), error)) {
    Error("cannot write " + o.out + ": " + error);
    return kExitOutput;
  }
  if (!o.bin.empty() && !binFile.Create(platform::PathFromArgument(o.bin.c_str()), error)) {
    Error("cannot write " + o.bin + ": " + error);
    return kExitOutput;
  }

  ReadJobResult read;
  if (const int code = RunReadJob(o.job, report, read); code != kExitOk) return code;

  const ReadBack& data = read.data;
  const bool complete = data.imageRead && data.informationBlockRead;
  int code = kExitOk;
  if (!complete) {
    Error("reading the keyboard at " + read.location + " failed; nothing written");
    code = kExitFailed;
  } else {
    if (TriggersStartByteExchange(data.image)) {
      const std::string warning =
          "image bytes 1 and 2 read 38 00: converting " + o.out +
          " (flash, convert, the dialog) applies the Start-byte exchange and gives other "
          "bytes 0 to 2 and 0x37FB to 0x37FD than the keyboard holds";
      if (o.job.json) {
        PrintJsonLine({{"type", "warning"}, {"text", warning}});
      } else {
        Error("warning: " + warning);
      }
    }
    // Both files are complete on disk before either is renamed into place.
    const std::string* failed = nullptr;
    if (!hexFile.Write(ImageToHex(data.image), error)) failed = &o.out;
    if (!failed && !o.bin.empty() && !(binFile.Write(data.image, error) && binFile.Commit(error)))
      failed = &o.bin;
    if (!failed && !hexFile.Commit(error)) failed = &o.out;
    if (failed) {
      Error("writing " + *failed + " failed: " + error);
      code = kExitOutput;
    } else if (!data.finished) {
      Error("the keyboard at " + read.location +
            " did not take the Finish command and stays in update mode until it is unplugged; " +
            o.out + " is complete");
      code = kExitFailed;
    }
  }
  if (code == kExitOk && read.traceIncomplete) code = kExitOutput;

  const bool ok = code == kExitOk;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (o.job.json) {
    PrintJsonLine({{"type", "result"},
                   {"result", ok ? "ok" : "failed"},
                   {"exit_code", code},
                   {"location", read.location},
                   {"file", o.out},
                   {"bin", o.bin.empty() ? Json(nullptr) : Json(o.bin)},
                   {"information_block",
                    data.informationBlockRead ? Json(InfoBlockText(data)) : Json(nullptr)},
                   {"elapsed_s", std::round(elapsed * 10) / 10}});
  } else if (complete) {
    Info(Format("read 14336 bytes from the keyboard at %s in %.1f s", read.location.c_str(),
                elapsed));
    std::printf("information block: %s\n", InfoBlockText(data).c_str());
  }
  std::fflush(stdout);
  return code;
}

}  // namespace

VerbRun SetUpDump(CLI::App& command) {
  auto o = std::make_shared<DumpOptions>();
  AddReadJobOptions(command, o->job);
  command.add_option("--bin", o->bin);
  command.add_option("OUT.hex", o->out)->required();
  return [o] { return RunDump(*o); };
}

}  // namespace kbt::cli
