#include "station/results_reader.h"

#include <charconv>
#include <cstdio>
#include <memory>

#include "station/results_log.h"
#include "station/unit_id.h"

namespace kbt {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Up to `size` bytes at `offset`; fewer at the end of the file.
bool ReadAt(std::FILE* f, std::uint64_t offset, std::size_t size, std::string& out) {
  out.resize(size);
  if (std::fseek(f, static_cast<long>(offset), SEEK_SET) != 0) return false;
  out.resize(std::fread(out.data(), 1, size, f));
  return !std::ferror(f);
}

template <typename T>
bool Number(const std::string& text, T& out) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool Digits(std::string_view text, std::size_t at, std::size_t count, int low, int high) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return value >= low && value <= high;
}

// The form IsoTime writes: 2026-12-10T14:05:09+01:00.
bool IsIsoTime(std::string_view t) {
  return t.size() == 25 && Digits(t, 0, 4, 1970, 9999) && t[4] == '-' && Digits(t, 5, 2, 1, 12) &&
         t[7] == '-' && Digits(t, 8, 2, 1, 31) && t[10] == 'T' && Digits(t, 11, 2, 0, 23) &&
         t[13] == ':' && Digits(t, 14, 2, 0, 59) && t[16] == ':' && Digits(t, 17, 2, 0, 60) &&
         (t[19] == '+' || t[19] == '-') && Digits(t, 20, 2, 0, 15) && t[22] == ':' &&
         Digits(t, 23, 2, 0, 59);
}

}  // namespace

std::size_t SplitRecords(std::string_view text,
                         std::vector<std::pair<std::vector<std::string>, std::size_t>>& records) {
  std::size_t taken = 0;
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"') {
        fields.back() += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (i + 1 == text.size()) {
        break;  // a doubled quote may still be coming: the record is not ended
      } else {
        quoted = false;
      }
    } else if (c == '"' && fields.back().empty()) {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else if (c == '\n') {
      if (!fields.back().empty() && fields.back().back() == '\r') fields.back().pop_back();
      taken = i + 1;
      records.emplace_back(std::move(fields), taken);
      fields.assign(1, std::string());
    } else {
      fields.back() += c;
    }
  }
  return taken;
}

std::string ParseUnit(const std::vector<std::string>& fields, bool withUnitId, LoggedUnit& out) {
  const std::size_t want = withUnitId ? 10 : 9;
  if (fields.size() != want)
    return std::to_string(fields.size()) + " fields where the header has " + std::to_string(want);
  out = {};
  out.time = fields[0];
  out.location = fields[1];
  out.serial = fields[2];
  out.result = fields[3];
  out.firmware = fields[5];
  out.imageSha256 = fields[6];
  out.reason = fields[8];
  if (!IsIsoTime(out.time)) return "time '" + out.time + "' is not ISO 8601 with its UTC offset";
  if (out.result != "PASS" && out.result != "FAIL")
    return "result '" + out.result + "' is neither PASS nor FAIL";
  if (!Number(fields[4], out.durationMs) || out.durationMs < 0)
    return "duration_ms '" + fields[4] + "' is not a number of milliseconds";
  if (!fields[7].empty()) {
    int counter = 0;
    if (!Number(fields[7], counter) || counter < 0 || counter > 0xFFFF)
      return "counter '" + fields[7] + "' is not a value from 0 to 65535";
    out.counter = counter;
  }
  if (withUnitId && !fields[9].empty()) {
    if (!IsUnitId(fields[9])) return "unit_id '" + fields[9] + "' is not a UUID";
    out.unitId = fields[9];
  } else {
    // Without its own id (the earlier form, or an empty one): from the
    // fields that describe the unit, the same whichever form holds them.
    out.unitId = ContentUnitId({fields.begin(), fields.begin() + 9});
  }
  return {};
}

HidResult ResultsReader::Open(const std::string& path, ResultsReader& out) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return HidResult::Fail(path + ": cannot be opened");
  std::string head;
  if (!ReadAt(f.get(), 0, 4096, head)) return HidResult::Fail(path + ": cannot be read");
  const std::size_t end = head.find('\n');
  if (end == std::string::npos)
    return HidResult::Fail(path + (head.empty()
                                       ? ": empty, not a results log"
                                       : ": its first line is not a results log's header"));
  std::string first = head.substr(0, end);
  if (!first.empty() && first.back() == '\r') first.pop_back();
  if (first == kResultsHeader) {
    out.withUnitId_ = true;
  } else if (first == kResultsHeaderWithoutId) {
    out.withUnitId_ = false;
  } else {
    return HidResult::Fail(path + ": its first line is not a results log's header (" +
                           kResultsHeader + ")");
  }
  out.path_ = path;
  out.dataStart_ = end + 1;
  return HidResult::Ok();
}

bool ResultsReader::RecordStartsAt(std::uint64_t offset) const {
  if (offset == dataStart_) return true;
  if (offset < dataStart_) return false;
  File f(std::fopen(path_.c_str(), "rb"));
  std::string before;
  return f && ReadAt(f.get(), offset - 1, 1, before) && before == "\n";
}

HidResult ResultsReader::Read(std::uint64_t from, std::size_t maxBytes, ReadBatch& out) const {
  out = {};
  out.next = from;
  File f(std::fopen(path_.c_str(), "rb"));
  if (!f) return HidResult::Fail(path_ + ": cannot be opened");
  std::string text;
  std::vector<std::pair<std::vector<std::string>, std::size_t>> records;
  std::size_t taken = 0;
  // A record longer than the piece read: read more, until it ends or the file does.
  for (std::size_t size = maxBytes < 4096 ? 4096 : maxBytes;; size *= 2) {
    if (!ReadAt(f.get(), from, size, text)) return HidResult::Fail(path_ + ": cannot be read");
    records.clear();
    taken = SplitRecords(text, records);
    if (taken > 0 || text.size() < size) break;
  }
  for (auto& [fields, end] : records) {
    const std::uint64_t at = out.next;
    out.next = from + end;
    if (fields.size() == 1 && fields[0].empty()) continue;  // an empty line
    LoggedUnit unit;
    if (std::string why = ParseUnit(fields, withUnitId_, unit); !why.empty())
      out.unreadable.push_back({at, std::move(why)});
    else
      out.units.emplace_back(std::move(unit), out.next);
  }
  return HidResult::Ok();
}

}  // namespace kbt
