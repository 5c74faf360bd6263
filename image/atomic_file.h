// An output file that appears only complete. It is written to a new file
// beside the target and renamed over it by Commit, after the last byte is on
// the disk; until then the target is untouched, an existing file included.
// The target is where a symbolic link leads, and the file renamed over it
// keeps its permissions; a target that exists and is not a regular file (a
// folder, a device node, a FIFO, /dev/stdout) is refused at Create.
// An AtomicFile that is never committed removes its temporary file, so a
// failed or interrupted write leaves nothing behind. Creating it first, before
// the work that produces the bytes, finds an unwritable folder before that
// work starts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace kbt {

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile() { Discard(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file beside `path` (beside the file a link at
  // `path` names). On failure `error` says why.
  bool Create(const std::wstring& path, std::string& error);
  bool Write(std::span<const std::uint8_t> bytes, std::string& error);
  bool Write(const std::string& text, std::string& error);
  // Puts the bytes on the disk and renames the file over the target.
  bool Commit(std::string& error);
  // Closes and removes the temporary file; the target stays as it was.
  void Discard();

  const std::wstring& TemporaryPath() const { return temp_; }

 private:
  std::wstring path_;
  std::wstring temp_;
  std::FILE* file_ = nullptr;
};

}  // namespace kbt
