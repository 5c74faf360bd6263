// Inspection of an Intel HEX file: one pass that feeds every piece through
// the conversion's own store rules (so Image end, dropped and overlapping
// bytes are exactly the conversion's), and checks each physical line as a
// strict Intel HEX record on the side.
#include "image/hex_inspect.h"

#include <algorithm>
#include <memory>

#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/firmware_signature.h"
#include "image/hex_records.h"

namespace kbt {

namespace {

// Longest well-formed record: 255 data bytes.
constexpr std::size_t kLongestRecord = 11 + 2 * 255;
// Characters of one piece, the line feed not counted.
constexpr std::size_t kLinePieceChars = hex::kLineBufferSize - 1;

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Strict check of one physical line (without its line feed).
void CheckLine(const std::string& text, bool tooLong, long lineNo, HexInspection& out) {
  if (text.empty()) {
    ++out.blankLines;
    return;
  }
  bool ok = !tooLong && text[0] == ':' && text.size() >= 11 && (text.size() - 1) % 2 == 0;
  // The record's bytes: the first is the data count, the fourth the type.
  int sum = 0, count = 0, type = 0;
  for (std::size_t i = 1; ok && i < text.size(); i += 2) {
    const int hi = Hex(text[i]), lo = Hex(text[i + 1]);
    if (hi < 0 || lo < 0) {
      ok = false;
      break;
    }
    const int b = hi * 16 + lo;
    if (i == 1) count = b;
    if (i == 7) type = b;
    sum += b;
  }
  if (ok && text.size() != 11 + 2 * static_cast<std::size_t>(count)) ok = false;
  if (!ok) {
    out.notHexLines.Add(lineNo);
    return;
  }
  if ((sum & 0xFF) != 0) out.badChecksumLines.Add(lineNo);
  if (type < 6) {
    ++out.recordsByType[static_cast<std::size_t>(type)];
  } else {
    ++out.otherTypeRecords;
  }
}

}  // namespace

HexInspection InspectHexFile(const std::wstring& path) {
  std::FILE* file = platform::OpenForReading(path);
  if (!file) return HexInspection{};
  FileByteSource source(file);
  HexInspection out = InspectSource(source);
  std::fclose(file);
  return out;
}

HexInspection InspectSource(ByteSource& source, std::size_t readSize) {
  HexInspection out;
  out.opened = true;

  auto reader = std::make_unique<hex::PieceReader>(
      source, readSize ? readSize : hex::PieceReader::kDefaultReadSize);
  auto piece = std::make_unique<hex::LinePiece>();
  std::vector<std::uint8_t> work(kImageSize, 0);
  // The line that last stored each address; zeroed in one go (no per-element loop).
  const std::unique_ptr<long[]> owner(new long[kImageSize]());
  std::string line;                        // the physical line, for the strict check
  std::size_t lineChars = 0;               // its length without the line feed
  bool tooLong = false;
  long lineNo = 1;
  int piecesOfLine = 0;
  bool ended = false;
  bool startOfLine = true;  // after the End record line: the next piece begins a line
  long overlapLine = 0, overlapEarlier = 0;  // the overlap finding being extended

  while (reader->Next(*piece)) {
    if (ended) {
      if (startOfLine) ++out.linesAfterEnd;
      startOfLine = piece->endsLine;
      continue;
    }
    if (hex::IsEndRecordLine(*piece)) {
      // The tail piece of a long line can be the End record line too.
      out.endRecordLine = lineNo;
      ended = true;
      if (piecesOfLine == 0) {
        ++out.recordsByType[1];
        ++out.lines;
        continue;
      }
    } else {
      long stored = 0;
      const long dropped =
          hex::ForEachStoredByte(*piece, [&](std::size_t address, std::uint8_t value) {
            const long earlier = owner[address];
            if (earlier != 0 && earlier != lineNo) {
              // One finding per run of bytes that a line takes over from one
              // earlier line.
              auto& overlaps = out.overlaps;
              if (lineNo != overlapLine || earlier != overlapEarlier) {
                overlaps.Add({lineNo, earlier, static_cast<long>(address), 0});
                overlapLine = lineNo;
                overlapEarlier = earlier;
              }
              if (overlaps.count <= static_cast<long>(overlaps.kKept))
                ++overlaps.first.back().bytes;
            }
            owner[address] = lineNo;
            work[address] = value;
            out.imageEnd = std::max(out.imageEnd, static_cast<long>(address) + 1);
            ++stored;
          });
      const long address = hex::FieldValue(*piece, 3, 4);
      if (dropped > 0 && address < 0) {
        out.negativeAddressLines.Add(lineNo);
      } else if (dropped > 0) {
        out.droppedData.Add({lineNo, std::max<long>(address, 0) + stored, dropped});
        out.droppedBytes += dropped;
      }
      const long type = hex::FieldValue(*piece, 7, 2);
      if (stored > 0 && type >= 2 && type <= 5 && piecesOfLine == 0) {
        out.addressRecordsStored.Add(lineNo);
      }
      if (type == 1 && piecesOfLine == 0) out.inexactEndLines.Add(lineNo);
    }

    const bool hasFeed = piece->endsLine;
    const std::size_t textLen = static_cast<std::size_t>(piece->length) - (hasFeed ? 1 : 0);
    lineChars += textLen;
    if (line.size() + textLen > kLongestRecord) {
      tooLong = true;
    } else {
      line.append(piece->text, textLen);
    }
    ++piecesOfLine;
    if (hasFeed || ended) {
      // A line of exactly 255 characters leaves its line feed to a piece of
      // its own, which stores nothing: not a split record.
      if (lineChars > kLinePieceChars) out.splitLines.Add(lineNo);
      CheckLine(line, tooLong, lineNo, out);
      ++out.lines;
      ++lineNo;
      line.clear();
      lineChars = 0;
      tooLong = false;
      piecesOfLine = 0;
    }
  }
  if (!ended && piecesOfLine > 0) {
    // A last line without a line feed.
    if (lineChars > kLinePieceChars) out.splitLines.Add(lineNo);
    CheckLine(line, tooLong, lineNo, out);
    ++out.lines;
  }
  out.readFailed = reader->Failed();

  std::vector<std::uint8_t> image(kImageSize, 0);
  std::copy_n(work.begin(), out.imageEnd, image.begin());
  out.startByteExchange = hex::ApplyStartByteExchange(image.data(), work.data());
  out.signatureOffset = FirmwareSignatureOffset(image.data());
  return out;
}

}  // namespace kbt
