// The results log's system calls on POSIX systems (Linux). One write() on a
// descriptor opened with O_APPEND puts the whole line at the end of the file
// at once; fsync() then waits until it is on the disk. The station's lock is
// flock(): advisory, so readers are never kept out. The image's hash comes
// from OpenSSL's libcrypto.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "station/results_log.h"
#include "station/results_log_platform.h"

namespace kbt {
namespace {

HidResult Errno(const char* what, int error) {
  return HidResult::Fail(std::string(what) + std::strerror(error));
}

}  // namespace

HidResult LogFile::Open(const std::string& path, std::unique_ptr<LogFile>& out) {
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Errno("", errno);
  std::unique_ptr<LogFile> file(new LogFile(fd));
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Errno("", errno);
  if (!S_ISREG(st.st_mode)) return HidResult::Fail("not a regular file");
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      return HidResult::Fail(
          "another station is writing to it; give each station a log of its own");
    return Errno("flock: ", errno);
  }
  out = std::move(file);
  return HidResult::Ok();
}

LogFile::~LogFile() {
  ::close(static_cast<int>(handle_));
}

HidResult LogFile::Size(std::uint64_t& size) {
  struct stat st {};
  if (::fstat(static_cast<int>(handle_), &st) != 0) return Errno("", errno);
  size = static_cast<std::uint64_t>(st.st_size);
  return HidResult::Ok();
}

HidResult LogFile::ReadAt(std::uint64_t offset, char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  const ssize_t n = ::pread(static_cast<int>(handle_), buffer, size, static_cast<off_t>(offset));
  if (n < 0) return Errno("", errno);
  got = static_cast<std::size_t>(n);
  return HidResult::Ok();
}

HidResult LogFile::AppendDurably(std::string_view bytes) {
  const int fd = static_cast<int>(handle_);
  struct stat st {};
  const bool sized = ::fstat(fd, &st) == 0;
  const ssize_t n = ::write(fd, bytes.data(), bytes.size());
  if (n < 0) return Errno("write: ", errno);
  if (static_cast<std::size_t>(n) != bytes.size()) {
    // A short write (disk full): take the piece back rather than leave half a line.
    if (sized) (void)::ftruncate(fd, st.st_size);
    return HidResult::Fail("write: the disk took only part of the line");
  }
  if (::fsync(fd) != 0) return Errno("fsync: ", errno);
  return HidResult::Ok();
}

bool LocalAndUtcTime(std::time_t time, std::tm& local, std::tm& utc) {
  return localtime_r(&time, &local) != nullptr && gmtime_r(&time, &utc) != nullptr;
}

std::string Sha256Hex(const std::uint8_t* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) return {};
  return HexDigest(digest, length);
}

}  // namespace kbt
