// DLog.txt as the command line keeps it: opened and locked (an advisory
// lock: flock on POSIX, LockFileEx on Windows) before a flash touches any
// device, so that a second flash in the same folder waits instead of mixing
// its result and its trace with this one's; "FAIL" from the start, so that a
// run that is refused, interrupted or crashes never leaves an earlier PASS
// behind; the run's result written over it at the end. The six bytes are
// the dialog's: the word and CR LF.
#pragma once

#include <atomic>
#include <string>

namespace kbt::cli {

class DLogFile {
 public:
  DLogFile() = default;
  ~DLogFile();
  DLogFile(const DLogFile&) = delete;
  DLogFile& operator=(const DLogFile&) = delete;

  enum class Opened { Ok, Busy, Failed };
  // Opens (creating) `name` and takes the lock without waiting. Failed: see
  // Error(); Busy: another process holds the lock.
  Opened Open(const std::string& name);
  // Waits for the lock of an Open that was Busy, up to `seconds`; false at
  // the end of the wait or when `cancel` is set.
  bool WaitForLock(unsigned seconds, const std::atomic<bool>* cancel);
  // Replaces the content with the word and CR LF; false with Error() set.
  bool Write(bool pass);
  const std::string& Error() const { return error_; }

 private:
  bool TryLock();
  std::string error_;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace kbt::cli
