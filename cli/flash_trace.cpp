#include "cli/flash_trace.h"

#include <cerrno>

#include "cli/console.h"
#include "image/file_platform.h"

namespace kbt::cli {

FlashTrace::FlashTrace(std::string name, bool perKeyboard)
    : name_(std::move(name)), perKeyboard_(perKeyboard) {}

std::string FlashTrace::NameFor(const std::string& location) const {
  if (!perKeyboard_) return name_;
  // A location names a place on a bus ("1-2.3", "sim-2"); characters that a
  // file name cannot hold become '_'.
  std::string suffix = location;
  for (char& c : suffix) {
    if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
        c == '>' || c == '|')
      c = '_';
  }
  return name_ + "." + suffix;
}

void FlashTrace::Fail(const std::string& name, const std::string& what, int errnum) {
  if (error_.empty())
    error_ = what + " the trace file " + name + ": " + Reason(errnum ? errnum : EIO);
}

FlashTrace::File* FlashTrace::FileFor(const std::string& location) {
  const std::string name = NameFor(location);
  auto it = files_.find(name);
  if (it != files_.end()) return it->second.file ? &it->second : nullptr;
  File& f = files_[name];
  errno = 0;
  f.file.reset(platform::OpenForWriting(platform::PathFromArgument(name.c_str())));
  if (!f.file) {
    Fail(name, "cannot create", errno);
    return nullptr;
  }
  return &f;
}

bool FlashTrace::Create(const std::vector<std::string>& locations) {
  std::lock_guard lock(mutex_);
  if (!perKeyboard_) return FileFor("") != nullptr;
  for (const std::string& l : locations)
    if (!FileFor(l)) return false;
  return true;
}

void FlashTrace::Write(const TraceRecord& record) {
  std::lock_guard lock(mutex_);
  File* f = FileFor(record.location);
  if (!f) return;
  const std::string line = FormatTraceLine(++f->count, record) + "\n";
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), f->file.get()) != line.size() ||
      std::fflush(f->file.get()) != 0) {
    Fail(NameFor(record.location), "writing", errno);
    f->file.reset();  // nothing more into a file that has lost a line
  }
}

bool FlashTrace::Close() {
  std::lock_guard lock(mutex_);
  for (auto& [name, f] : files_) {
    if (!f.file) continue;
    errno = 0;
    if (std::fclose(f.file.release()) != 0) Fail(name, "writing", errno);
  }
  return error_.empty();
}

}  // namespace kbt::cli
