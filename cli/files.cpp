#include "cli/files.h"

#include <cerrno>
#include <cstring>

#include "cli/console.h"
#include "image/file_platform.h"
#include "image/hex_to_bin.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace kbt::cli {

#ifdef _WIN32

namespace {

std::optional<FileIdentity> IdentityOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
    return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber,
                      (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

}  // namespace

std::optional<FileIdentity> IdentityOf(const std::string& argument) {
  const std::wstring path = platform::PathFromArgument(argument.c_str());
  // No access asked for: this opens files that others hold open, and a
  // folder needs FILE_FLAG_BACKUP_SEMANTICS.
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  const auto id = IdentityOfHandle(h);
  CloseHandle(h);
  return id;
}

std::optional<FileIdentity> IdentityOf(std::FILE* stream) {
  return IdentityOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))));
}

void BinaryStdout() {
  _setmode(_fileno(stdout), _O_BINARY);
}

static void BinaryStdin() {
  _setmode(_fileno(stdin), _O_BINARY);
}

#else

std::optional<FileIdentity> IdentityOf(const std::string& argument) {
  struct stat st;
  if (::stat(argument.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::optional<FileIdentity> IdentityOf(std::FILE* stream) {
  struct stat st;
  if (::fstat(fileno(stream), &st) != 0) return std::nullopt;
  // A terminal or a pipe cannot be an input file as well.
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

void BinaryStdout() {}

static void BinaryStdin() {}

#endif

bool SameFile(const std::string& input, const std::string& output) {
  const auto in = IsStdStream(input) ? IdentityOf(stdin) : IdentityOf(input);
  const auto out = IsStdStream(output) ? IdentityOf(stdout) : IdentityOf(output);
  return in && out && *in == *out;
}

std::size_t ScanningSource::Read(char* buffer, std::size_t size) {
  const std::size_t n = inner_.Read(buffer, size);
  const char* const end = buffer + n;
  auto next = [end](const char* from, char c) {
    return static_cast<const char*>(std::memchr(from, c, static_cast<std::size_t>(end - from)));
  };
  for (const char* p = next(buffer, '\0'); p; p = next(p + 1, '\0')) ++scan_.nulBytes;
  if (!lineEnds_ || n == 0) return n;
  for (const char* p = next(buffer, '\n'); p; p = next(p + 1, '\n')) ++scan_.lineFeeds;
  // A carriage return is bare unless a line feed follows it, perhaps only
  // in the next read.
  if (crPending_ && buffer[0] != '\n') ++scan_.bareCarriageReturns;
  crPending_ = false;
  for (const char* p = next(buffer, '\r'); p; p = next(p + 1, '\r')) {
    if (p + 1 == end) {
      crPending_ = true;
    } else if (p[1] != '\n') {
      ++scan_.bareCarriageReturns;
    }
  }
  return n;
}

ByteScan ScanningSource::Scan() const {
  ByteScan scan = scan_;
  if (crPending_) ++scan.bareCarriageReturns;
  return scan;
}

std::string InputName(const std::string& argument) {
  return IsStdStream(argument) ? "standard input" : argument;
}

FilePtr OpenInput(const std::string& argument, std::string& error) {
  if (IsStdStream(argument)) {
    BinaryStdin();
    return FilePtr(stdin);
  }
  errno = 0;
  FilePtr file(platform::OpenForReading(platform::PathFromArgument(argument.c_str())));
  if (!file) error = "cannot open " + argument + ": " + ErrnoReason(errno);
  return file;
}

}  // namespace kbt::cli
