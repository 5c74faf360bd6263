#include "image/atomic_file.h"

#include <cerrno>

#include "image/file_platform.h"
#include "image/hex_to_bin.h"

namespace kbt {

bool AtomicFile::Create(const std::wstring& path, std::string& error) {
  Discard();
  if (!platform::OutputTarget(path, path_)) {
    error = ErrnoReason(errno);
    path_.clear();
    return false;
  }
  file_ = platform::CreateFileBeside(path_, temp_);
  if (!file_) {
    error = ErrnoReason(errno);
    temp_.clear();
    return false;
  }
  return true;
}

bool AtomicFile::Write(std::span<const std::uint8_t> bytes, std::string& error) {
  if (!file_) {
    error = "not open";
    return false;
  }
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
    error = ErrnoReason(errno);
    return false;
  }
  return true;
}

bool AtomicFile::Write(const std::string& text, std::string& error) {
  return Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), error);
}

bool AtomicFile::Commit(std::string& error) {
  if (!file_) {
    error = "not open";
    return false;
  }
  std::FILE* file = file_;
  file_ = nullptr;
  if (!platform::SyncAndClose(file) || !platform::RenameReplacing(temp_, path_)) {
    error = ErrnoReason(errno);
    Discard();
    return false;
  }
  temp_.clear();
  return true;
}

void AtomicFile::Discard() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temp_.empty()) {
    (void)platform::RemoveFile(temp_);
    temp_.clear();
  }
}

}  // namespace kbt
