// What the results log needs of the system, one implementation per system
// (results_log_posix.cpp, results_log_windows.cpp; the build takes the
// system's), so that the log's own rules (results_log.cpp: the header, the
// cut-short last line, the CSV bytes) are the same everywhere: the log file
// with its lock and its durable appends, and the broken-down local time.
// The image's hash (Sha256Hex, results_log.h) is the system's as well:
// OpenSSL's libcrypto on Linux, CNG on Windows.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "device/hid.h"

namespace kbt {

// An open results log. Failures come back with the system's reason alone;
// the caller names the file.
class LogFile {
 public:
  // Opens `path` (as the command line gives it: file-system bytes on Linux,
  // the ANSI code page on Windows) for reading and appending, creating it,
  // and takes the station's lock on it: a second station on the same file
  // is refused while the first one runs (flock on Linux, LockFileEx on
  // Windows, on a byte far beyond the data, so that readers can still read
  // every line). Anything but a regular file is refused.
  static HidResult Open(const std::string& path, std::unique_ptr<LogFile>& out);
  ~LogFile();  // closes, which releases the lock
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  HidResult Size(std::uint64_t& size);
  // Up to `size` bytes from `offset`; `got` is 0 at the end of the file.
  HidResult ReadAt(std::uint64_t offset, char* buffer, std::size_t size, std::size_t& got);
  // `bytes` at the end of the file in one write, and on the disk (fsync,
  // FlushFileBuffers) before it returns. A write the disk takes only part
  // of (disk full) is taken back, so that no half line stays.
  HidResult AppendDurably(std::string_view bytes);

 private:
  explicit LogFile(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_;  // the descriptor, or the HANDLE
};

// `time` as the local calendar and as UTC; false when the system cannot
// tell (a time outside its range).
bool LocalAndUtcTime(std::time_t time, std::tm& local, std::tm& utc);

// A digest in lower-case hex (results_log.cpp), for the systems' hashes.
std::string HexDigest(const unsigned char* digest, std::size_t size);

}  // namespace kbt
