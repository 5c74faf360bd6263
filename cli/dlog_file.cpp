#include "cli/dlog_file.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "cli/console.h"
#include "image/file_platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace kbt::cli {

bool DLogFile::WaitForLock(unsigned seconds, const std::atomic<bool>* cancel) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (cancel && cancel->load()) return false;
    if (TryLock()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

#ifdef _WIN32

DLogFile::~DLogFile() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
}

DLogFile::Opened DLogFile::Open(const std::string& name) {
  const std::wstring path = platform::PathFromArgument(name.c_str());
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    error_ = e == ERROR_ACCESS_DENIED ? "Permission denied" : "Windows error " + std::to_string(e);
    return Opened::Failed;
  }
  handle_ = h;
  return TryLock() ? Opened::Ok : Opened::Busy;
}

bool DLogFile::TryLock() {
  OVERLAPPED at = {};
  // One byte far past the content: the lock then never blocks a reader of
  // the six bytes (Windows locks are enforced on the range they cover).
  at.Offset = 0xFFFFFFF0u;
  return LockFileEx(static_cast<HANDLE>(handle_),
                    LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

bool DLogFile::Write(bool pass) {
  HANDLE h = static_cast<HANDLE>(handle_);
  const char* line = pass ? "PASS\r\n" : "FAIL\r\n";
  DWORD written = 0;
  if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(h) ||
      !WriteFile(h, line, 6, &written, nullptr) || written != 6 || !FlushFileBuffers(h)) {
    error_ = "Windows error " + std::to_string(GetLastError());
    return false;
  }
  return true;
}

#else

DLogFile::~DLogFile() {
  if (fd_ >= 0) ::close(fd_);
}

DLogFile::Opened DLogFile::Open(const std::string& name) {
  fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    error_ = Reason(errno);
    return Opened::Failed;
  }
  return TryLock() ? Opened::Ok : Opened::Busy;
}

bool DLogFile::TryLock() {
  return ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

bool DLogFile::Write(bool pass) {
  const char* line = pass ? "PASS\r\n" : "FAIL\r\n";
  if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, line, 6, 0) != 6 || ::fsync(fd_) != 0) {
    error_ = Reason(errno ? errno : EIO);
    return false;
  }
  return true;
}

#endif

}  // namespace kbt::cli
