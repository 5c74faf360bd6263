// `kbupdate convert FILE.hex OUT.bin`: the image exactly as the Start
// command builds it (zero-filled, HexToBin, Start-byte exchange), written out
// whole, with the signature check's answer.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "cli/verbs.h"
#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/firmware_signature.h"
#include "image/hex_to_bin.h"

namespace kbt::cli {

const char kConvertHelp[] =
    "usage: kbupdate convert FILE.hex OUT.bin\n"
    "\n"
    "Converts FILE.hex into the 14336-byte (0x3800) firmware image exactly as the\n"
    "update tool does before it writes a keyboard: a zero-filled image, the data\n"
    "bytes at their 16-bit addresses (bytes at 0x3800 and above are dropped), and\n"
    "the start-byte exchange. Writes all 14336 bytes to OUT.bin and tells whether\n"
    "the maker's signature was found, and at which offset.\n"
    "\n"
    "The converter is lenient: it checks no checksum and no record type. Run\n"
    "`kbupdate inspect FILE.hex` to see what it passed over.\n"
    "\n"
    "exit codes: 0 converted and written (with or without signature);\n"
    "            2 wrong command line; 3 FILE.hex cannot be opened or read;\n"
    "            4 OUT.bin cannot be written\n";

int RunConvert(const Arguments& args) {
  if (args.size() != 2) {
    std::fprintf(stderr,
                 "kbupdate convert: expects FILE.hex OUT.bin (see kbupdate convert --help)\n");
    return kExitUsage;
  }
  const std::wstring input = platform::PathFromArgument(args[0].c_str());
  const std::wstring output = platform::PathFromArgument(args[1].c_str());

  std::lock_guard<std::mutex> lock(g_ImageMutex);
  if (!g_ImageBuffer) {
    std::fprintf(stderr, "kbupdate convert: no memory for the firmware image\n");
    return kExitFailed;
  }
  std::memset(g_ImageBuffer, 0, kImageSize);
  const HexToBinResult converted = HexToBin(input, g_ImageBuffer);
  if (converted.status == kHexToBinNotOpened) {
    std::fprintf(stderr, "kbupdate convert: cannot open %s: %s\n", args[0].c_str(),
                 converted.reason.c_str());
    return kExitInput;
  }
  if (!converted.Read()) {
    std::fprintf(stderr, "kbupdate convert: %s: %s; nothing written\n", args[0].c_str(),
                 converted.reason.c_str());
    return kExitInput;
  }

  std::FILE* out = platform::OpenForWriting(output);
  if (!out) {
    std::fprintf(stderr, "kbupdate convert: cannot create %s: %s\n", args[1].c_str(),
                 std::strerror(errno));
    return kExitOutput;
  }
  const bool written = std::fwrite(g_ImageBuffer, 1, kImageSize, out) == kImageSize;
  const bool closed = std::fclose(out) == 0;
  if (!written || !closed) {
    std::fprintf(stderr, "kbupdate convert: writing %s failed; the file is incomplete\n",
                 args[1].c_str());
    return kExitOutput;
  }

  std::printf("wrote %zu bytes to %s\n", kImageSize, args[1].c_str());
  if (const auto offset = FirmwareSignatureOffset(g_ImageBuffer)) {
    std::printf("signature: found at offset %zu (0x%04zX)\n", *offset, *offset);
  } else {
    std::printf("signature: not found (the update tool refuses this file: \"Hex File Error!\")\n");
  }
  return kExitOk;
}

}  // namespace kbt::cli
