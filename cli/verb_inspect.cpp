// `kbupdate inspect FILE.hex`: what the lenient converter passes over in
// silence. It warns only; conversion stays as it is.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/common_options.h"
#include "cli/console.h"
#include "cli/files.h"
#include "cli/json_lines.h"
#include "cli/verbs.h"
#include "image/firmware_image.h"
#include "image/hex_inspect.h"

namespace kbt::cli {

const char kInspectHelp[] =
    "usage: kbupdate inspect [--json] FILE.hex\n"
    "\n"
    "Reads FILE.hex as the update tool's converter does and reports what that\n"
    "converter never tells: records by type, lines with a wrong checksum, lines\n"
    "that are not Intel HEX, data at or above 0x3800 (dropped), overlapping data,\n"
    "address records whose bytes land in the image, the image end, whether the\n"
    "start-byte exchange applies, and the signature's offset. Line numbers count\n"
    "from 1. Nothing is written; conversion is not changed by any of it.\n"
    "Line ends of a carriage return alone (no line feed) are no line ends to the\n"
    "converter; inspect names them as the reason a file reads as one long line.\n"
    "FILE.hex \"-\" reads standard input.\n"
    "\n"
    "  --json  one JSON object on stdout instead of the text:\n"
    "    type                   \"inspection\"\n"
    "    file                   FILE.hex as given (\"-\" for standard input)\n"
    "    lines                  physical lines read\n"
    "    records_by_type        {\"00\": n, ... \"05\": n}, well-formed records\n"
    "    other_type_records     well-formed records of other types\n"
    "    blank_lines            count\n"
    "    bare_carriage_returns  carriage returns not followed by a line feed\n"
    "    bad_checksum_lines, not_hex_lines, split_lines, negative_address_lines,\n"
    "    address_records_stored, inexact_end_lines\n"
    "                           {\"count\": n, \"lines\": [first line numbers]}\n"
    "    dropped_data           {\"count\", \"bytes\", \"first\": [{\"line\", \"address\",\n"
    "                           \"bytes\"}]}\n"
    "    overlaps               {\"count\", \"first\": [{\"line\", \"earlier_line\",\n"
    "                           \"address\", \"bytes\"}]}\n"
    "    end_record_line        line number, or null when there is none\n"
    "    lines_after_end        lines never read\n"
    "    image_end              one past the highest address stored\n"
    "    start_byte_exchange    true or false\n"
    "    signature_offset       offset, or null when there is no signature\n"
    "    read_failed            true when reading failed part way (exit 3)\n"
    "    warnings               how many warnings the text would show\n"
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

namespace {

struct InspectOptions {
  std::string file;
  bool json = false;
};

const char* const kTypeNames[] = {"data",
                                  "end of file",
                                  "extended segment address",
                                  "start segment address",
                                  "extended linear address",
                                  "start linear address"};

// The reason the reader sees fewer lines than an editor shows.
std::string CarriageReturnWarning(const ByteScan& scan) {
  if (scan.bareCarriageReturns == 0) return {};
  return Format(
      "%lld line end%s %s a carriage return alone, which the converter does not take as "
      "a line end%s",
      scan.bareCarriageReturns, scan.bareCarriageReturns == 1 ? "" : "s",
      scan.bareCarriageReturns == 1 ? "is" : "are",
      scan.lineFeeds == 0 ? ": the whole file reads as one long line" : "");
}

int PrintText(const std::string& name, const HexInspection& r, const ByteScan& scan) {
  int warnings = 0;
  std::printf("%s: %ld line%s\n", name.c_str(), r.lines, r.lines == 1 ? "" : "s");
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
  if (const std::string cr = CarriageReturnWarning(scan); !cr.empty()) {
    ++warnings;
    std::printf("warning: %s\n", cr.c_str());
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
    // A file cut short (a download broken off) ends this way too.
    ++warnings;
    std::printf(
        "warning: end record: none; read to the end of the file (a file cut short looks "
        "the same)\n");
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
  return warnings;
}

Json LinesJson(const Findings<long>& lines) {
  return Json{{"count", lines.count}, {"lines", lines.first}};
}

int CountWarnings(const HexInspection& r, const ByteScan& scan) {
  const Findings<long>* lists[] = {&r.badChecksumLines,     &r.notHexLines,
                                   &r.splitLines,           &r.negativeAddressLines,
                                   &r.addressRecordsStored, &r.inexactEndLines};
  int warnings = r.readFailed + (scan.bareCarriageReturns > 0) + !r.droppedData.empty() +
                 !r.overlaps.empty() + !r.signatureOffset + !r.endRecordLine;
  for (const auto* l : lists) warnings += !l->empty();
  return warnings;
}

void PrintJson(const std::string& file, const HexInspection& r, const ByteScan& scan) {
  Json types = Json::object();
  for (std::size_t t = 0; t < r.recordsByType.size(); ++t)
    types[Format("%02zX", t)] = r.recordsByType[t];
  Json dropped = Json::array();
  for (const auto& d : r.droppedData.first)
    dropped.push_back({{"line", d.line}, {"address", d.address}, {"bytes", d.bytes}});
  Json overlaps = Json::array();
  for (const auto& o : r.overlaps.first)
    overlaps.push_back({{"line", o.line},
                        {"earlier_line", o.earlierLine},
                        {"address", o.address},
                        {"bytes", o.bytes}});
  Json j;
  j["type"] = "inspection";
  j["file"] = file;
  j["lines"] = r.lines;
  j["records_by_type"] = types;
  j["other_type_records"] = r.otherTypeRecords;
  j["blank_lines"] = r.blankLines;
  j["bare_carriage_returns"] = scan.bareCarriageReturns;
  j["bad_checksum_lines"] = LinesJson(r.badChecksumLines);
  j["not_hex_lines"] = LinesJson(r.notHexLines);
  j["split_lines"] = LinesJson(r.splitLines);
  j["negative_address_lines"] = LinesJson(r.negativeAddressLines);
  j["address_records_stored"] = LinesJson(r.addressRecordsStored);
  j["inexact_end_lines"] = LinesJson(r.inexactEndLines);
  j["dropped_data"] = {
      {"count", r.droppedData.count}, {"bytes", r.droppedBytes}, {"first", dropped}};
  j["overlaps"] = {{"count", r.overlaps.count}, {"first", overlaps}};
  j["end_record_line"] = r.endRecordLine ? Json(r.endRecordLine) : Json(nullptr);
  j["lines_after_end"] = r.linesAfterEnd;
  j["image_end"] = r.imageEnd;
  j["start_byte_exchange"] = r.startByteExchange;
  j["signature_offset"] = r.signatureOffset ? Json(*r.signatureOffset) : Json(nullptr);
  j["read_failed"] = r.readFailed;
  j["warnings"] = CountWarnings(r, scan);
  PrintJsonLine(j);
}

int RunInspect(const InspectOptions& o) {
  std::string error;
  const FilePtr in = OpenInput(o.file, error);
  if (!in) {
    Error(error);
    return kExitInput;
  }
  FileByteSource file(in.get());
  ScanningSource source(file);
  errno = 0;
  const HexInspection r = InspectSource(source);
  const int readError = errno;
  const std::string name = InputName(o.file);
  if (o.json) {
    PrintJson(o.file, r, source.Scan());
  } else {
    PrintText(name, r, source.Scan());
  }
  if (r.readFailed) {
    // The report covers only what was read before the error; an I/O error
    // is a failure, as it is for convert, not a warning to exit 0 on.
    Error("reading " + name + " failed part way: " + Reason(readError));
    return kExitInput;
  }
  return kExitOk;
}

}  // namespace

VerbRun SetUpInspect(CLI::App& command) {
  auto o = std::make_shared<InspectOptions>();
  command.add_option("FILE.hex", o->file)->required();
  AddJsonOption(command, o->json);
  return [o] { return RunInspect(*o); };
}

}  // namespace kbt::cli
