// The results log's rules, the same on every system: the CSV bytes, the
// header, the cut-short last line. The file calls, the lock, the local time
// and the image's hash are the system's (results_log_platform.h).
#include "station/results_log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "station/results_log_platform.h"
#include "station/unit_id.h"

namespace kbt {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t MinutesOf(const std::tm& t) {
  const std::int64_t days = DaysFromCivil(t.tm_year + 1900LL, static_cast<unsigned>(t.tm_mon + 1),
                                          static_cast<unsigned>(t.tm_mday));
  return (days * 24 + t.tm_hour) * 60 + t.tm_min;
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
  std::tm utc{};
  if (!LocalAndUtcTime(t, local, utc)) return {};
  // The offset from the two calendars, not strftime's %z: Windows' C
  // library puts the zone's name there, not its offset.
  const std::int64_t offset = MinutesOf(local) - MinutesOf(utc);
  const std::int64_t size = offset < 0 ? -offset : offset;
  char text[128];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                offset < 0 ? '-' : '+', static_cast<int>(size / 60), static_cast<int>(size % 60));
  return text;
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

ResultsLog::ResultsLog(std::unique_ptr<LogFile> file, std::string path, std::string firmware,
                       std::string imageSha256)
    : file_(std::move(file)),
      path_(std::move(path)),
      firmware_(std::move(firmware)),
      sha256_(std::move(imageSha256)) {}

ResultsLog::~ResultsLog() = default;

HidResult ResultsLog::Open(const std::string& path, std::string firmware, std::string imageSha256,
                           std::unique_ptr<ResultsLog>& out) {
  std::unique_ptr<LogFile> file;
  if (HidResult r = LogFile::Open(path, file); !r) return HidResult::Fail(path + ": " + r.error);
  LogFile& f = *file;
  std::unique_ptr<ResultsLog> log(
      new ResultsLog(std::move(file), path, std::move(firmware), std::move(imageSha256)));
  auto failed = [&path](const HidResult& r) { return HidResult::Fail(path + ": " + r.error); };

  std::uint64_t size = 0;
  if (HidResult r = f.Size(size); !r) return failed(r);
  if (size == 0) {
    if (HidResult r = log->Append(std::string(kResultsHeader) + "\r\n"); !r) return r;
    out = std::move(log);
    return HidResult::Ok();
  }

  // The first line must be our header (with either line ending).
  std::string first;
  char buffer[512];
  std::uint64_t at = 0;
  while (first.find('\n') == std::string::npos && first.size() < 4096) {
    std::size_t n = 0;
    if (HidResult r = f.ReadAt(at, buffer, sizeof buffer, n); !r) return failed(r);
    if (n == 0) break;
    first.append(buffer, n);
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
  std::size_t n = 0;
  if (HidResult r = f.ReadAt(size - 1, &last, 1, n); !r) return failed(r);
  if (n != 1) return HidResult::Fail(path + ": the file ended while it was read");
  if (last != '\n')
    if (HidResult r = log->Append("\r\n"); !r) return r;
  out = std::move(log);
  return HidResult::Ok();
}

HidResult ResultsLog::Append(const std::string& bytes) {
  std::lock_guard lock(mutex_);
  if (HidResult r = file_->AppendDurably(bytes); !r) return HidResult::Fail(path_ + ": " + r.error);
  return HidResult::Ok();
}

HidResult ResultsLog::Record(const StationUnitResult& result) {
  return Append(ResultsLine(result, firmware_, sha256_, withUnitId_ ? NewUnitId() : std::string()) +
                "\r\n");
}

std::string HexDigest(const unsigned char* digest, std::size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}

}  // namespace kbt
