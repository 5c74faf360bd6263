// What the lenient fixed-position reader never tells: a strict look at an
// Intel HEX file next to exactly what the conversion makes of it. Used by
// `kbupdate inspect`; it changes nothing about conversion.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "image/byte_source.h"

namespace kbt {

// The first kKept findings of one kind and how many there were in all, so
// that an inspection's memory does not grow with the file.
template <typename T>
struct Findings {
  static constexpr std::size_t kKept = 1000;
  std::vector<T> first;
  long count = 0;
  void Add(const T& finding) {
    if (first.size() < kKept) first.push_back(finding);
    ++count;
  }
  bool empty() const { return count == 0; }
};

struct HexInspection {
  bool opened = false;
  bool readFailed = false;  // an I/O error part way; the rest is what was read

  long lines = 0;                       // physical lines read, the End record line included
  std::array<long, 6> recordsByType{};  // well-formed records of types 00..05
  long otherTypeRecords = 0;            // well-formed records of another type
  long blankLines = 0;
  Findings<long> badChecksumLines;      // well-formed but the checksum does not add up
  Findings<long> notHexLines;           // not an Intel HEX record at all
  Findings<long> splitLines;            // longer than 255 characters: read in pieces
  Findings<long> negativeAddressLines;  // address field reads negative: line dropped

  struct Dropped {
    long line;
    long address;  // where the dropped bytes would have gone
    long bytes;
  };
  Findings<Dropped> droppedData;  // data at 0x3800 or above
  long droppedBytes = 0;

  struct Overlap {
    long line;
    long earlierLine;
    long address;  // first address this line takes over from earlierLine
    long bytes;
  };
  Findings<Overlap> overlaps;

  // Records of types 02 to 05 store their bytes as data at their address.
  Findings<long> addressRecordsStored;
  // Lines that look like an End record but are not the exact line
  // ":00000001FF" (lower case, blanks, no line feed): read as data.
  Findings<long> inexactEndLines;

  long endRecordLine = 0;  // 0: none; reading went on to the end of the file
  long linesAfterEnd = 0;  // never read by the conversion

  long imageEnd = 0;
  bool startByteExchange = false;
  std::optional<std::size_t> signatureOffset;
};

HexInspection InspectHexFile(const std::wstring& path);
// The same over bytes from anywhere (the fuzzer, a pipe). `readSize` as for
// the converter's reader (tests and the fuzzer make it small); 0: the default.
HexInspection InspectSource(ByteSource& source, std::size_t readSize = 0);

}  // namespace kbt
