// POSIX file calls: the station runs on Linux. One write() per record on a
// descriptor opened with O_APPEND puts the whole line at the end of the file
// at once; fsync() then waits until it is on the disk.
#include "station/results_log.h"

#include "station/unit_id.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

namespace kbt {
namespace {

std::string ErrnoText(int error) {
  return std::strerror(error);
}

}  // namespace

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string IsoTime(std::chrono::system_clock::time_point time) {
  const std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&t, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  // %z gives +0100; ISO 8601's extended form wants +01:00.
  const std::string plain = text;
  if (plain.size() < 5) return plain;
  // Built by appending: GCC 12 at -O3 warns (-Wrestrict) of an overlap in
  // std::string::insert that cannot happen.
  return plain.substr(0, plain.size() - 2) + ":" + plain.substr(plain.size() - 2);
}

std::string ResultsLine(const StationUnitResult& r, const std::string& firmware,
                        const std::string& imageSha256, const std::string& unitId) {
  std::string line;
  line += CsvField(IsoTime(r.ended)) + ',';
  line += CsvField(r.location) + ',';
  line += CsvField(r.serial) + ',';
  line += std::string(r.pass ? "PASS" : "FAIL") + ',';
  line += std::to_string(r.durationMs) + ',';
  line += CsvField(firmware) + ',';
  line += CsvField(imageSha256) + ',';
  line += (r.counter ? std::to_string(*r.counter) : std::string()) + ',';
  line += CsvField(r.pass ? std::string() : r.reason);
  if (!unitId.empty()) line += ',' + unitId;
  return line;
}

ResultsLog::ResultsLog(int fd, std::string path, std::string firmware, std::string imageSha256)
    : fd_(fd),
      path_(std::move(path)),
      firmware_(std::move(firmware)),
      sha256_(std::move(imageSha256)) {}

ResultsLog::~ResultsLog() {
  ::close(fd_);
}

HidResult ResultsLog::Open(const std::string& path, std::string firmware, std::string imageSha256,
                           std::unique_ptr<ResultsLog>& out) {
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return HidResult::Fail(path + ": " + ErrnoText(errno));
  std::unique_ptr<ResultsLog> log(
      new ResultsLog(fd, path, std::move(firmware), std::move(imageSha256)));

  struct stat st {};
  if (::fstat(fd, &st) != 0) return HidResult::Fail(path + ": " + ErrnoText(errno));
  if (!S_ISREG(st.st_mode)) return HidResult::Fail(path + ": not a regular file");
  // Another station starting on the same new file at the same moment: one
  // of them writes the header, the other finds it. Held until Open returns
  // (the descriptor's lock, released by the unlock below or by close).
  while (::flock(fd, LOCK_EX) != 0)
    if (errno != EINTR) return HidResult::Fail(path + ": lock: " + ErrnoText(errno));
  struct Unlock {
    int fd;
    ~Unlock() { (void)::flock(fd, LOCK_UN); }
  } unlock{fd};
  if (::fstat(fd, &st) != 0) return HidResult::Fail(path + ": " + ErrnoText(errno));
  if (st.st_size == 0) {
    if (HidResult r = log->Append(std::string(kResultsHeader) + "\r\n"); !r) return r;
    out = std::move(log);
    return HidResult::Ok();
  }

  // The first line must be our header (with either line ending).
  std::string first;
  char buffer[512];
  off_t at = 0;
  while (first.find('\n') == std::string::npos && first.size() < 4096) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n < 0) return HidResult::Fail(path + ": " + ErrnoText(errno));
    if (n == 0) break;
    first.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
  first = first.substr(0, first.find('\n'));
  if (!first.empty() && first.back() == '\r') first.pop_back();
  if (first == kResultsHeaderWithoutId) {
    log->withUnitId_ = false;
  } else if (first != kResultsHeader) {
    return HidResult::Fail(path + ": its first line is not this station's header (" +
                           kResultsHeader + "); give another --log file");
  }

  char last = '\n';
  if (::pread(fd, &last, 1, st.st_size - 1) != 1)
    return HidResult::Fail(path + ": " + ErrnoText(errno));
  if (last != '\n')
    if (HidResult r = log->Append("\r\n"); !r) return r;
  out = std::move(log);
  return HidResult::Ok();
}

HidResult ResultsLog::Append(const std::string& bytes) {
  std::lock_guard lock(mutex_);
  struct stat st {};
  const bool sized = ::fstat(fd_, &st) == 0;
  const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
  if (n < 0) return HidResult::Fail(path_ + ": write: " + ErrnoText(errno));
  if (static_cast<std::size_t>(n) != bytes.size()) {
    // A short write (disk full): take the piece back rather than leave half a line.
    if (sized) (void)::ftruncate(fd_, st.st_size);
    return HidResult::Fail(path_ + ": write: the disk took only part of the line");
  }
  if (::fsync(fd_) != 0) return HidResult::Fail(path_ + ": fsync: " + ErrnoText(errno));
  return HidResult::Ok();
}

HidResult ResultsLog::Record(const StationUnitResult& result) {
  return Append(ResultsLine(result, firmware_, sha256_, withUnitId_ ? NewUnitId() : std::string()) +
                "\r\n");
}

std::string Sha256Hex(const std::uint8_t* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}

}  // namespace kbt
