// The fixed-position reader's pieces, shared by HexToBin and by the
// command line's inspection, so that both see exactly the same bytes.
//
// Lines come as the text-mode reading of a C library delivers them with a
// 256-byte buffer: a carriage return directly before a line feed is dropped
// (on every system, so that a file converts the same everywhere), and a line
// is handed over in pieces of at most 255 characters, the line feed included
// in the last one. Each piece is a line of its own for the reader.
//
// Positions: a field is read from a copy of its own 2 or 4 characters. A
// position at or past the end of the piece reads as the terminating zero,
// which ends the field there: a byte count larger than the line's data, a
// short line, or a line's tail piece never see characters of earlier lines,
// and nothing past the 256-byte Line buffer is ever read. The missing data
// bytes of such a line are stored as 0, as a field with no digits is 0.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "image/byte_source.h"
#include "image/firmware_image.h"

namespace kbt::hex {

inline constexpr int kLineBufferSize = 256;  // 255 characters and a terminating zero
inline constexpr char kEndRecordLine[] = ":00000001FF\n";
inline constexpr int kEndRecordLength = 12;

struct LinePiece {
  char text[kLineBufferSize];  // text[length] is 0
  int length = 0;
  bool endsLine = false;  // the piece ends with the line feed
};

// Buffered, piecewise reader over a byte source (64 KiB reads, no line-sized
// allocations, so memory does not grow with the file).
class PieceReader {
 public:
  static constexpr std::size_t kDefaultReadSize = std::size_t{64} * 1024;
  // `readSize` (2 or more) is the size of each read; tests and the fuzzer
  // make it small to put line ends across read boundaries.
  explicit PieceReader(ByteSource& source, std::size_t readSize = kDefaultReadSize)
      : source_(source), size_(readSize < 2 ? 2 : readSize), buffer_(new char[size_]) {}
  PieceReader(const PieceReader&) = delete;
  PieceReader& operator=(const PieceReader&) = delete;

  // False at the end of the file or after a read error (see Failed).
  bool Next(LinePiece& piece);
  // The next line in place, when it lies whole in the buffer and is short
  // enough to be one piece: its characters without the line end (the piece
  // Next would give is these and a line feed). SkipLine passes over it
  // without a copy. False: only Next knows the next piece.
  // Inline: a large file's lines mostly go no further than these two.
  bool PeekLine(const char*& text, std::size_t& chars) {
    if (peekedBytes_ == 0 && !FindLine()) return false;
    text = buffer_.get() + pos_;
    chars = peekedChars_;
    return true;
  }
  void SkipLine() {
    pos_ += peekedBytes_;
    peekedBytes_ = 0;
  }
  bool Failed() const { return failed_; }

 private:
  bool Fill(std::size_t keep);
  bool FindLine();

  ByteSource& source_;
  std::size_t size_;
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  bool failed_ = false;
  // The line at pos_ that FindLine found: its characters, and its bytes
  // with the line end (0: none found yet). Whatever moves pos_ clears it.
  std::size_t peekedChars_ = 0;
  std::size_t peekedBytes_ = 0;
};

inline bool IsEndRecordLine(const LinePiece& piece) {
  return piece.length == kEndRecordLength &&
         std::memcmp(piece.text, kEndRecordLine, kEndRecordLength) == 0;
}

// strtol(copy, nullptr, 16) over the `width` characters at `pos` (positions
// past the piece read as the terminating zero). Written out rather than
// calling strtol so that it is independent of the C locale's notion of
// white space and fast on the common case of two plain digits.
long FieldValue(const LinePiece& piece, int pos, int width);

namespace detail {

// Value of each character as a hexadecimal digit, -1 for the others.
inline constexpr auto kDigitValue = [] {
  struct Table {
    int value[256];
  } t{};
  for (int c = 0; c < 256; ++c) {
    t.value[c] = c >= '0' && c <= '9'   ? c - '0'
                 : c >= 'a' && c <= 'f' ? c - 'a' + 10
                 : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                        : -1;
  }
  return t;
}();

// FieldValue for the usual case, inline: all `Width` characters inside the
// piece and all of them digits. Anything else goes the full way. The width
// is a constant, so the digit loop unrolls.
template <int Width>
inline long FieldValueFast(const LinePiece& piece, int pos) {
  if (pos + Width <= piece.length) {
    const auto* text = reinterpret_cast<const unsigned char*>(piece.text + pos);
    long value = 0;
    int any = 0;  // negative once any character is no digit: no branch per digit
    for (int i = 0; i < Width; ++i) {
      const int d = kDigitValue.value[text[i]];
      any |= d;
      value = value * 16 + d;
    }
    if (any >= 0) return value;
  }
  return FieldValue(piece, pos, Width);
}

}  // namespace detail

// Walks the data bytes of one piece as the reader stores them: calls
// store(address, byte) for each byte that goes into the Work buffer, in
// order, and returns the number of bytes the line asked for but that were
// dropped because their address was 0x3800 or more, or negative.
//
// A negative address (the field holds a minus sign) names no place in the
// program memory: the whole line is dropped, so that nothing is ever stored
// outside the Work buffer.
template <typename Store>
long ForEachStoredByte(const LinePiece& piece, Store&& store) {
  const long count = detail::FieldValueFast<2>(piece, 1);
  if (count <= 0) return 0;
  const long address = detail::FieldValueFast<4>(piece, 3);
  if (address < 0) return count;
  // The bytes below 0x3800 are stored, the rest dropped.
  const long stored = std::min(count, static_cast<long>(kImageSize) - address);
  if (stored <= 0) return count;
  // Fields wholly inside the piece, two plain digits each: the common case,
  // decoded here; any other field goes the full way.
  const long inside = piece.length > 9 ? (piece.length - 9) / 2 : 0;
  const long plain = std::min(stored, inside);
  const auto* text = reinterpret_cast<const unsigned char*>(piece.text + 9);
  long j = 0;
  for (; j < plain; ++j) {
    const int high = detail::kDigitValue.value[text[2 * j]];
    const int low = detail::kDigitValue.value[text[2 * j + 1]];
    const long value =
        (high | low) >= 0 ? high * 16 + low : FieldValue(piece, 9 + 2 * static_cast<int>(j), 2);
    store(static_cast<std::size_t>(address + j), static_cast<std::uint8_t>(value & 0xFF));
  }
  for (; j < stored; ++j) {
    const long value = detail::FieldValueFast<2>(piece, 9 + 2 * static_cast<int>(j));
    store(static_cast<std::size_t>(address + j), static_cast<std::uint8_t>(value & 0xFF));
  }
  return count - stored;
}

// The Start-byte exchange over a converted image: when bytes 1 and 2 read
// 0x38 0x00, bytes 0..2 take the Work buffer's 0x37FB..0x37FD and those three
// image bytes become 0. Returns whether it applied.
bool ApplyStartByteExchange(std::uint8_t* image, const std::uint8_t* work);

// Steps 2 to 8 of a conversion over a byte source: fills `image` (Work
// buffer, Image end, copy, exchange). Returns false after a read error,
// leaving `image` untouched. `imageEnd` and `exchanged` report what happened.
bool Convert(ByteSource& source, std::uint8_t* image, long* imageEnd = nullptr,
             bool* exchanged = nullptr, std::size_t readSize = PieceReader::kDefaultReadSize);

}  // namespace kbt::hex
