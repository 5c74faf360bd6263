// Reading a results log back (the database's sender and `results push`):
// its header, then its records from a byte offset on, each with its unit id
// and the offset just past it. The log is the record of what was done, and
// a byte offset into it is where a reader may stop and start again, so the
// records are split here rather than by a callback parser that reports no
// positions. RFC 4180: a quoted field may hold commas, doubled quotes and
// line breaks; a record ends at a line break outside quotes. A record not
// yet ended by its line break is not taken (it is being written, or was cut
// short), nor is anything after it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/hid.h"

namespace kbt {

struct LoggedUnit {
  std::string unitId;  // the row's own, or derived from its content (station/unit_id.h)
  std::string time;    // as written: 2026-12-10T14:05:09+01:00
  std::string location;
  std::string serial;
  std::string result;  // PASS or FAIL
  std::int64_t durationMs = 0;
  std::string firmware;
  std::string imageSha256;
  std::optional<int> counter;
  std::string reason;
};

// A record that is not a unit: where it is and why.
struct UnreadableRow {
  std::uint64_t offset = 0;
  std::string reason;
};

struct ReadBatch {
  std::vector<std::pair<LoggedUnit, std::uint64_t>> units;  // with the offset past each
  std::vector<UnreadableRow> unreadable;
  std::uint64_t next = 0;  // where the next read starts: past the last complete record
};

// Complete records of `text`, each with the offset past its line break;
// returns the bytes they take (a record not yet ended is left over).
std::size_t SplitRecords(std::string_view text,
                         std::vector<std::pair<std::vector<std::string>, std::size_t>>& records);

// One record as a unit: every field checked, the id taken or derived.
// Returns the reason when the record is not one.
std::string ParseUnit(const std::vector<std::string>& fields, bool withUnitId, LoggedUnit& out);

class ResultsReader {
 public:
  // Reads the header: either of the log's two (station/results_log.h), or a
  // failure naming the file and what is wrong.
  static HidResult Open(const std::string& path, ResultsReader& out);

  const std::string& Path() const { return path_; }
  bool WithUnitId() const { return withUnitId_; }
  // Where the first record starts.
  std::uint64_t DataStart() const { return dataStart_; }
  // Whether a record may start at `offset`: the first record's start, or
  // just past a line break within the file. (A log begun anew under the
  // same name fails this for an offset saved for the old one wherever the
  // new one is shorter or differs there.)
  bool RecordStartsAt(std::uint64_t offset) const;
  // The records from `from` (a record's start) on, at most about `maxBytes`
  // of them (at least one where one is complete).
  HidResult Read(std::uint64_t from, std::size_t maxBytes, ReadBatch& out) const;

 private:
  std::string path_;
  bool withUnitId_ = true;
  std::uint64_t dataStart_ = 0;
};

}  // namespace kbt
