// The station's record: one CSV line per finished unit (RFC 4180: fields
// with a comma, a quote or a line break are quoted, quotes doubled, lines
// end in CRLF on every system; a file with LF line ends is read as well).
// Each line goes to the file in one write and is flushed to the disk (fsync,
// FlushFileBuffers) before Record returns, so that a killed process or a
// power cut loses no finished unit and leaves no half line.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "station/station_runner.h"

namespace kbt {

class LogFile;

// Since units have ids, each line ends in the unit's id (station/unit_id.h).
// A log begun with the earlier header, without unit_id, keeps its form: its
// lines are appended without the column, and its rows get ids derived from
// their content wherever they are read back.
inline constexpr char kResultsHeader[] =
    "time,location,serial,result,duration_ms,firmware,image_sha256,counter,reason,unit_id";
inline constexpr char kResultsHeaderWithoutId[] =
    "time,location,serial,result,duration_ms,firmware,image_sha256,counter,reason";

// One field as RFC 4180 writes it.
std::string CsvField(std::string_view text);
// ISO 8601 in local time with its UTC offset: 2026-12-10T14:05:09+01:00.
std::string IsoTime(std::chrono::system_clock::time_point time);
// A record without its line break; `unitId` empty: the earlier form, without the column.
std::string ResultsLine(const StationUnitResult& result, const std::string& firmware,
                        const std::string& imageSha256, const std::string& unitId = {});

class ResultsLog : public UnitRecorder {
 public:
  // Opens `path` for appending, creating it. A new or empty file gets the
  // header; a file whose first line is another header (neither of the two
  // above) is refused, with the reason; so is a file that another station is
  // writing to (the log is locked while it is open). A last line cut short
  // (a power cut while it was written) is ended, so that the next record
  // starts on a line of its own.
  static HidResult Open(const std::string& path, std::string firmware, std::string imageSha256,
                        std::unique_ptr<ResultsLog>& out);
  ~ResultsLog() override;

  HidResult Record(const StationUnitResult& result) override;
  const std::string& Path() const { return path_; }
  // False for a log begun with the header without unit_id.
  bool WithUnitId() const { return withUnitId_; }

 private:
  ResultsLog(std::unique_ptr<LogFile> file, std::string path, std::string firmware,
             std::string imageSha256);
  HidResult Append(const std::string& bytes);

  std::mutex mutex_;  // one record at a time: the runs end on threads of their own
  std::unique_ptr<LogFile> file_;
  std::string path_;
  std::string firmware_;
  std::string sha256_;
  bool withUnitId_ = true;
};

// SHA-256 of `size` bytes, in lower-case hex (the system's own: OpenSSL's
// libcrypto, CNG on Windows).
std::string Sha256Hex(const std::uint8_t* data, std::size_t size);

}  // namespace kbt
