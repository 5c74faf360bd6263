// `kbupdate convert FILE.hex OUT.bin`: the image exactly as the Start
// command builds it (zero-filled, the fixed-position reader, Start-byte
// exchange), written out whole, with the signature check's answer.
//
// The one way to lose work here is to write over the firmware file, so an
// output that is the input, an output named *.hex and an input that is
// already a raw image are refused before anything is opened for writing.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "cli/console.h"
#include "cli/files.h"
#include "cli/verbs.h"
#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/firmware_signature.h"
#include "image/hex_to_bin.h"

namespace kbt::cli {

const char kConvertHelp[] =
    "usage: kbupdate convert [--force] FILE.hex OUT.bin\n"
    "\n"
    "Converts FILE.hex into the 14336-byte (0x3800) firmware image exactly as the\n"
    "update tool does before it writes a keyboard: a zero-filled image, the data\n"
    "bytes at their 16-bit addresses (bytes at 0x3800 and above are dropped), and\n"
    "the start-byte exchange. Writes all 14336 bytes to OUT.bin and tells whether\n"
    "the maker's signature was found, and at which offset.\n"
    "\n"
    "FILE.hex \"-\" reads standard input; OUT.bin \"-\" writes the image to\n"
    "standard output (the report then goes to stderr).\n"
    "\n"
    "Refused (exit 2) before anything is written:\n"
    "  - OUT.bin is FILE.hex itself (also through a link or another name);\n"
    "  - OUT.bin ends in .hex (the output is a raw image, not HEX text);\n"
    "  - FILE.hex holds NUL bytes (it is a raw image already: arguments swapped?).\n"
    "  --force         convert all the same in the last two cases\n"
    "\n"
    "The converter is lenient: it checks no checksum and no record type. Run\n"
    "`kbupdate inspect FILE.hex` to see what it passed over.\n"
    "\n"
    "exit codes: 0 converted and written (with or without signature);\n"
    "            2 wrong or refused command line; 3 FILE.hex cannot be opened or read;\n"
    "            4 OUT.bin cannot be written\n";

namespace {

struct ConvertOptions {
  std::string input;
  std::string output;
  bool force = false;
};

bool EndsWithHex(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return tail == ".hex";
}

int Refuse(const std::string& text) {
  Error(text);
  return kExitUsage;
}

std::string OutputName(const std::string& argument) {
  return IsStdStream(argument) ? "standard output" : argument;
}

int RunConvert(const ConvertOptions& o) {
  if (SameFile(o.input, o.output))
    return Refuse(OutputName(o.output) + " is the input file " + InputName(o.input) +
                  "; writing the image there would destroy it");
  if (!IsStdStream(o.output) && EndsWithHex(o.output) && !o.force)
    return Refuse(o.output +
                  " ends in .hex, but convert writes a raw image, not HEX text "
                  "(arguments swapped? --force writes it all the same)");

  std::string error;
  const FilePtr in = OpenInput(o.input, error);
  if (!in) {
    Error(error);
    return kExitInput;
  }
  FileByteSource file(in.get());
  // Only the NUL bytes decide anything here.
  ScanningSource source(file, ScanningSource::Counts::NulBytes);

  std::vector<std::uint8_t> image(kImageSize, 0);
  errno = 0;
  const HexToBinResult converted = HexToBin(source, image.data());
  const int readError = errno;
  if (!converted.Read()) {
    Error("reading " + InputName(o.input) + " failed part way: " + Reason(readError) +
          "; nothing written");
    return kExitInput;
  }
  const ByteScan scan = source.Scan();
  if (scan.nulBytes > 0 && !o.force)
    return Refuse(
        Format("%s holds %lld NUL byte%s: a raw image, not Intel HEX text "
               "(arguments swapped? --force converts it all the same)",
               InputName(o.input).c_str(), scan.nulBytes, scan.nulBytes == 1 ? "" : "s"));

  std::FILE* out = nullptr;
  FilePtr owned;
  if (IsStdStream(o.output)) {
    BinaryStdout();
    out = stdout;
  } else {
    errno = 0;
    owned.reset(platform::OpenForWriting(platform::PathFromArgument(o.output.c_str())));
    if (!owned) {
      Error("cannot create " + o.output + ": " + Reason(errno));
      return kExitOutput;
    }
    out = owned.get();
  }
  errno = 0;
  bool written = std::fwrite(image.data(), 1, kImageSize, out) == kImageSize;
  written = std::fflush(out) == 0 && written;
  const int writeError = errno;
  if (owned) written = std::fclose(owned.release()) == 0 && written;
  if (!written) {
    Error("writing " + OutputName(o.output) + " failed: " + Reason(writeError) +
          "; the file is incomplete");
    return kExitOutput;
  }

  // With the image on stdout the report goes to stderr.
  auto say = [&](const std::string& line) {
    if (IsStdStream(o.output)) {
      Info(line);
    } else {
      std::printf("%s\n", line.c_str());
    }
  };
  say(Format("wrote %zu bytes to %s", kImageSize, OutputName(o.output).c_str()));
  if (const auto offset = FirmwareSignatureOffset(image.data())) {
    say(Format("signature: found at offset %zu (0x%04zX)", *offset, *offset));
  } else {
    say("signature: not found (the update tool refuses this file: \"Hex File Error!\")");
  }
  return kExitOk;
}

}  // namespace

VerbRun SetUpConvert(CLI::App& command) {
  auto o = std::make_shared<ConvertOptions>();
  command.add_flag("--force", o->force);
  command.add_option("FILE.hex", o->input)->required();
  command.add_option("OUT.bin", o->output)->required();
  return [o] { return RunConvert(*o); };
}

}  // namespace kbt::cli
