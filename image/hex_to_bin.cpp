// Intel HEX conversion with the fixed-position reader: byte count, address
// and data bytes come from fixed character positions; start code, record
// type and checksum are never examined, and no address base exists beyond
// the 16-bit address field. See hex_records.h for how lines are cut and what
// positions past a line's end read as.
#include "image/hex_to_bin.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/hex_records.h"

namespace kbt {

namespace hex {

namespace {

constexpr std::size_t kExchangeFrom = 0x37FB;  // 14331..14333 go to bytes 0..2

// Value of one hexadecimal digit, or -1.
inline int DigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<unsigned char>(c | 0x20);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// isspace of the "C" locale.
inline bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Whether a whole line (`chars` characters, its line end not counted) has
// plain digits for its byte count and address, and the address lies at or
// past the end of the program memory: the reader stores none of its bytes
// then. Any other line, the End record line among them, is read in full.
bool StoresNothing(const char* text, std::size_t chars) {
  if (chars < 7) return false;
  const auto* t = reinterpret_cast<const unsigned char*>(text);
  const auto& digit = detail::kDigitValue.value;
  const int count = digit[t[1]] | digit[t[2]];
  const int a0 = digit[t[3]], a1 = digit[t[4]], a2 = digit[t[5]], a3 = digit[t[6]];
  if ((count | a0 | a1 | a2 | a3) < 0) return false;
  const long address = ((a0 * 16 + a1) * 16 + a2) * 16 + a3;
  return address >= static_cast<long>(kImageSize);
}

}  // namespace

long FieldValue(const LinePiece& piece, int pos, int width) {
  // The copy: the field's characters, zero past the piece, then the
  // terminating zero.
  char copy[5] = {};
  for (int i = 0; i < width; ++i) copy[i] = pos + i < piece.length ? piece.text[pos + i] : '\0';
  const char* p = copy;
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // "0x" is a prefix only when a digit follows; otherwise the 0 is the value.
  if (p[0] == '0' && (p[1] | 0x20) == 'x' && DigitValue(static_cast<unsigned char>(p[2])) >= 0)
    p += 2;
  long value = 0;
  for (int d; (d = DigitValue(static_cast<unsigned char>(*p))) >= 0; ++p) value = value * 16 + d;
  return negative ? -value : value;
}

bool PieceReader::Fill(std::size_t keep) {
  // Keeps the last `keep` unread bytes (a carriage return waiting for what
  // follows it) and reads after them.
  peekedBytes_ = 0;
  std::memmove(buffer_.get(), buffer_.get() + end_ - keep, keep);
  pos_ = 0;
  end_ = keep;
  if (eof_) return false;
  const std::size_t n = source_.Read(buffer_.get() + keep, size_ - keep);
  end_ += n;
  if (n == 0) {
    eof_ = true;
    if (source_.Failed()) failed_ = true;
    return false;
  }
  return true;
}

bool PieceReader::FindLine() {
  // Only a carriage return right before its line feed is dropped (any other
  // one is a character of the line), so one scan for the line feed decides
  // the usual line. A line across a read, a long line and the end of the
  // file are Next's.
  if (pos_ >= end_) return false;
  const char* p = buffer_.get() + pos_;
  const std::size_t reach = std::min<std::size_t>(end_ - pos_, kLineBufferSize);
  const void* feed = std::memchr(p, '\n', reach);
  if (!feed) return false;
  const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(feed) - p);
  const std::size_t chars = at > 0 && p[at - 1] == '\r' ? at - 1 : at;
  if (chars + 1 >= kLineBufferSize) return false;
  peekedChars_ = chars;
  peekedBytes_ = at + 1;
  return true;
}

bool PieceReader::Next(LinePiece& piece) {
  int len = 0;
  piece.endsLine = false;
  // The usual line, whole in the buffer: one copy.
  const char* text = nullptr;
  std::size_t chars = 0;
  if (PeekLine(text, chars)) {
    std::memcpy(piece.text, text, chars);
    piece.text[chars] = '\n';
    piece.text[chars + 1] = '\0';
    piece.length = static_cast<int>(chars + 1);
    piece.endsLine = true;
    SkipLine();
    return true;
  }
  while (len < kLineBufferSize - 1) {
    if (pos_ == end_ && !Fill(0)) break;
    const char* p = buffer_.get() + pos_;
    const std::size_t room = std::min<std::size_t>(end_ - pos_, kLineBufferSize - 1 - len);
    // The first line feed or carriage return within reach.
    const void* feed = std::memchr(p, '\n', room);
    const std::size_t limit =
        feed ? static_cast<std::size_t>(static_cast<const char*>(feed) - p) : room;
    const void* ret = std::memchr(p, '\r', limit);
    const std::size_t i = ret ? static_cast<std::size_t>(static_cast<const char*>(ret) - p) : limit;
    std::memcpy(piece.text + len, p, i);
    len += static_cast<int>(i);
    pos_ += i;
    if (i == room) continue;
    if (p[i] == '\n') {
      piece.text[len++] = '\n';
      ++pos_;
      piece.endsLine = true;
      break;
    }
    // A carriage return: dropped when a line feed follows it.
    if (pos_ + 1 == end_) Fill(1);
    if (pos_ + 1 < end_ && buffer_[pos_ + 1] == '\n') {
      ++pos_;
      continue;
    }
    piece.text[len++] = '\r';
    ++pos_;
  }
  piece.length = len;
  piece.text[len] = '\0';
  return len > 0;
}

bool ApplyStartByteExchange(std::uint8_t* image, const std::uint8_t* work) {
  if (image[1] != 0x38 || image[2] != 0x00) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    image[i] = work[kExchangeFrom + i];
    image[kExchangeFrom + i] = 0;
  }
  return true;
}

bool Convert(ByteSource& source, std::uint8_t* image, long* imageEndOut, bool* exchangedOut,
             std::size_t readSize) {
  auto reader = std::make_unique<PieceReader>(source, readSize);
  auto piece = std::make_unique<LinePiece>();
  std::vector<std::uint8_t> work(kImageSize, 0);  // the Work buffer
  long imageEnd = 0;

  for (;;) {
    // Most lines of a large file lie past the program memory: such a line
    // is passed over in place, without a copy.
    const char* text = nullptr;
    std::size_t chars = 0;
    if (reader->PeekLine(text, chars) && StoresNothing(text, chars)) {
      reader->SkipLine();
      continue;
    }
    if (!reader->Next(*piece)) break;
    if (IsEndRecordLine(*piece)) break;
    // A line's bytes come at rising addresses: the last one stored is the
    // line's end.
    long lineEnd = 0;
    ForEachStoredByte(*piece, [&](std::size_t address, std::uint8_t value) {
      work[address] = value;
      lineEnd = static_cast<long>(address) + 1;
    });
    imageEnd = std::max(imageEnd, lineEnd);
  }
  if (reader->Failed()) return false;

  std::copy_n(work.begin(), imageEnd, image);
  const bool exchanged = ApplyStartByteExchange(image, work.data());
  if (imageEndOut) *imageEndOut = imageEnd;
  if (exchangedOut) *exchangedOut = exchanged;
  return true;
}

}  // namespace hex

HexToBinResult HexToBin(const std::wstring& path, std::uint8_t* image) {
  errno = 0;
  std::FILE* file = platform::OpenForReading(path);
  if (!file) return {kHexToBinNotOpened, ErrnoReason(errno)};
  FileByteSource source(file);
  errno = 0;
  const bool read = hex::Convert(source, image);
  const int readError = errno;
  std::fclose(file);
  if (!read) return {kHexToBinReadFailed, "reading failed part way: " + ErrnoReason(readError)};
  return {kHexToBinRead, {}};
}

HexToBinResult HexToBin(ByteSource& source, std::uint8_t* image) {
  if (!hex::Convert(source, image)) return {kHexToBinReadFailed, "reading failed part way"};
  return {kHexToBinRead, {}};
}

std::string ErrnoReason(int error) {
  if (error == 0) return "unknown error";
  // The platform layer's own code for what cannot be read as a file.
  if (error == EISDIR) return "is a folder, not a file";
  if (error == ENOTSUP) return "not a regular file";
  return std::strerror(error);
}

}  // namespace kbt
