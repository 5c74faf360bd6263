// Where the converter and the inspection read their bytes from: an open file,
// or memory (tests, the fuzzer), so that neither needs a file system.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>

namespace kbt {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes into `buffer`; 0 at the end or after an error.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
  // True when reading stopped on an error rather than at the end.
  virtual bool Failed() const = 0;
};

// An open file, read unbuffered through the reader's own buffer; the caller
// closes it.
class FileByteSource final : public ByteSource {
 public:
  explicit FileByteSource(std::FILE* file) : file_(file) { std::setvbuf(file_, nullptr, _IONBF, 0); }
  std::size_t Read(char* buffer, std::size_t size) override {
    return std::fread(buffer, 1, size, file_);
  }
  bool Failed() const override { return std::ferror(file_) != 0; }

 private:
  std::FILE* file_;
};

class MemoryByteSource final : public ByteSource {
 public:
  explicit MemoryByteSource(std::span<const char> bytes) : bytes_(bytes) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min(size, bytes_.size() - pos_);
    std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  bool Failed() const override { return false; }

 private:
  std::span<const char> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace kbt
