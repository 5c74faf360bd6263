// Files named on the command line: "-" for standard input or output, the
// identity check that keeps an output from replacing an input, and a first
// look at an input's bytes. The only file in cli/ that includes system
// headers for files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "image/byte_source.h"

namespace kbt::cli {

inline bool IsStdStream(const std::string& argument) {
  return argument == "-";
}

// The same file, whatever the name: device and inode, or volume serial and
// file index. Empty when the file does not exist or cannot be looked at.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::string& argument);
std::optional<FileIdentity> IdentityOf(std::FILE* stream);

// True when `output` names the file that `input` names (also through a link
// or another spelling); "-" stands for the standard stream.
bool SameFile(const std::string& input, const std::string& output);

// Bytes that say a file is not Intel HEX text as the converter reads it.
struct ByteScan {
  long long nulBytes = 0;             // a raw image, not text
  long long bareCarriageReturns = 0;  // a CR not followed by LF: no line end for the reader
  long long lineFeeds = 0;
};

// A byte source that counts those bytes as they pass to the reader, so that
// the file is read once. Each count is a memchr walk from one byte looked
// for to the next: a HEX file holds no NUL at all, so the NUL count costs
// one pass at the C library's speed per read, not a test per byte. The line
// ends cost one step per line; only inspection asks for them.
class ScanningSource final : public ByteSource {
 public:
  enum class Counts { NulBytes, NulBytesAndLineEnds };
  explicit ScanningSource(ByteSource& inner, Counts counts = Counts::NulBytesAndLineEnds)
      : inner_(inner), lineEnds_(counts == Counts::NulBytesAndLineEnds) {}
  std::size_t Read(char* buffer, std::size_t size) override;
  bool Failed() const override { return inner_.Failed(); }
  // The counts, once the reader is done.
  ByteScan Scan() const;

 private:
  ByteSource& inner_;
  const bool lineEnds_;
  ByteScan scan_;
  bool crPending_ = false;  // the last byte read was a carriage return
};

struct StreamCloser {
  void operator()(std::FILE* f) const {
    if (f && f != stdin) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, StreamCloser>;

// An input file opened for reading, in binary; "-" is standard input. On
// failure `error` holds "cannot open NAME: reason".
FilePtr OpenInput(const std::string& argument, std::string& error);
// "standard input" for "-", else the argument.
std::string InputName(const std::string& argument);

// Switches standard output to binary (Windows would turn LF into CR LF).
void BinaryStdout();

}  // namespace kbt::cli
