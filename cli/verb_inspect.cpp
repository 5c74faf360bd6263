// `kbupdate inspect FILE.hex`: what the lenient converter passes over in
// silence. It warns only; conversion stays as it is.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/verbs.h"
#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/hex_inspect.h"

namespace kbt::cli {

const char kInspectHelp[] =
    "usage: kbupdate inspect FILE.hex\n"
    "\n"
    "Reads FILE.hex as the update tool's converter does and reports what that\n"
    "converter never tells: records by type, lines with a wrong checksum, lines\n"
    "that are not Intel HEX, data at or above 0x3800 (dropped), overlapping data,\n"
    "address records whose bytes land in the image, the image end, whether the\n"
    "start-byte exchange applies, and the signature's offset. Line numbers count\n"
    "from 1. Nothing is written; conversion is not changed by any of it.\n"
    "\n"
    "exit codes: 0 inspected (warnings do not change it); 2 wrong command line;\n"
    "            3 FILE.hex cannot be opened or read\n";

namespace {

constexpr std::size_t kListed = 10;  // line numbers shown per finding

void LineList(const char* what, const Findings<long>& lines, int& warnings) {
  if (lines.empty()) return;
  ++warnings;
  std::printf("warning: %s: %ld, line%s", what, lines.count, lines.count > 1 ? "s" : "");
  for (std::size_t i = 0; i < lines.first.size() && i < kListed; ++i) {
    std::printf(" %ld", lines.first[i]);
  }
  if (lines.count > static_cast<long>(kListed))
    std::printf(" and %ld more", lines.count - static_cast<long>(kListed));
  std::printf("\n");
}

// The first findings, one line each, and how many more there were.
template <typename T, typename Print>
void Details(const Findings<T>& findings, Print&& print) {
  for (std::size_t i = 0; i < findings.first.size() && i < kListed; ++i) print(findings.first[i]);
  if (findings.count > static_cast<long>(kListed)) {
    std::printf("  and %ld more\n", findings.count - static_cast<long>(kListed));
  }
}

}  // namespace

int RunInspect(const Arguments& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "kbupdate inspect: expects FILE.hex (see kbupdate inspect --help)\n");
    return kExitUsage;
  }
  errno = 0;
  const HexInspection r = InspectHexFile(platform::PathFromArgument(args[0].c_str()));
  if (!r.opened) {
    std::fprintf(stderr, "kbupdate inspect: cannot open %s: %s\n", args[0].c_str(),
                 std::strerror(errno));
    return kExitInput;
  }
  int warnings = 0;
  std::printf("%s: %ld lines\n", args[0].c_str(), r.lines);
  static const char* const kTypeNames[] = {"data",
                                           "end of file",
                                           "extended segment address",
                                           "start segment address",
                                           "extended linear address",
                                           "start linear address"};
  std::printf("records by type:\n");
  for (std::size_t t = 0; t < r.recordsByType.size(); ++t) {
    if (r.recordsByType[t])
      std::printf("  %02zX %-25s %ld\n", t, kTypeNames[t], r.recordsByType[t]);
  }
  if (r.otherTypeRecords) std::printf("  ?? %-25s %ld\n", "other types", r.otherTypeRecords);
  if (r.blankLines) std::printf("blank lines: %ld (store nothing)\n", r.blankLines);

  if (r.readFailed) {
    ++warnings;
    std::printf("warning: reading failed part way; the converter refuses this file\n");
  }
  LineList("wrong checksum (the data are used all the same)", r.badChecksumLines, warnings);
  LineList("not an Intel HEX record (read by fixed positions all the same)", r.notHexLines,
           warnings);
  LineList("longer than 255 characters (each piece read as a line of its own)", r.splitLines,
           warnings);
  LineList("negative address (line dropped)", r.negativeAddressLines, warnings);
  LineList("address/start records whose bytes are stored as data at their address",
           r.addressRecordsStored, warnings);
  LineList("end record not written exactly as \":00000001FF\" (read as data, reading goes on)",
           r.inexactEndLines, warnings);
  if (!r.droppedData.empty()) {
    ++warnings;
    std::printf("warning: data at or above 0x%04zX dropped: %ld bytes on %ld line%s\n", kImageSize,
                r.droppedBytes, r.droppedData.count, r.droppedData.count == 1 ? "" : "s");
    Details(r.droppedData, [](const HexInspection::Dropped& d) {
      std::printf("  line %ld: %ld bytes from 0x%04lX\n", d.line, d.bytes, d.address);
    });
  }
  if (!r.overlaps.empty()) {
    ++warnings;
    std::printf("warning: overlapping data (the later line wins): %ld\n", r.overlaps.count);
    Details(r.overlaps, [](const HexInspection::Overlap& o) {
      std::printf("  line %ld replaces %ld bytes of line %ld from 0x%04lX\n", o.line, o.bytes,
                  o.earlierLine, o.address);
    });
  }
  if (r.endRecordLine) {
    std::printf("end record: line %ld", r.endRecordLine);
    if (r.linesAfterEnd) {
      std::printf("; %ld line%s after it never read", r.linesAfterEnd,
                  r.linesAfterEnd == 1 ? "" : "s");
    }
    std::printf("\n");
  } else {
    std::printf("end record: none; read to the end of the file\n");
  }
  std::printf("image end: 0x%04lX (%ld bytes)\n", r.imageEnd, r.imageEnd);
  std::printf("start-byte exchange: %s\n", r.startByteExchange
                                               ? "applied (bytes 0..2 taken from 0x37FB..0x37FD)"
                                               : "not applied");
  if (r.signatureOffset) {
    std::printf("signature: found at offset %zu (0x%04zX)\n", *r.signatureOffset,
                *r.signatureOffset);
  } else {
    ++warnings;
    std::printf("warning: signature not found (the update tool refuses this file)\n");
  }
  std::printf("%d warning%s\n", warnings, warnings == 1 ? "" : "s");
  if (r.readFailed) {
    // The report covers only what was read before the error; an I/O error
    // is a failure, as it is for convert, not a warning to exit 0 on.
    std::fprintf(stderr, "kbupdate inspect: reading %s failed part way\n", args[0].c_str());
    return kExitInput;
  }
  return kExitOk;
}

}  // namespace kbt::cli
