// The shared record of many stations: each unit, once in the results log,
// also goes into a database table (kbupdate_units), in the background. The
// log is the truth: a unit is shown finished once it is there, and the
// store sends the log's rows that the database has not confirmed, in order,
// whenever it can reach the database, so that the database never stops or
// slows a unit and a unit reaches it exactly once (each row carries its
// unit id; sending a row again adds nothing). What the database confirmed is
// kept beside the log (LOG.dbsent), so that a station started again sends
// only what was left.
//
// This header is the whole face of it; the PostgreSQL implementation
// (unit_store_pg.cpp, libpq) is built on Linux, a stand-in that refuses
// every --db elsewhere (unit_store_none.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/hid.h"
#include "station/station_runner.h"
#include "station/unit_store_status.h"

namespace kbt {

// How a start was refused; the exit code each front end gives it.
enum class StoreRefusal {
  None,
  Usage,        // the connection string (or --since) does not parse: a wrong command line
  Unreachable,  // no answer from the server (push and summary need one)
  Refused,      // the server answered and refused: login, database, rights, table layout
  NoSupport,    // this build has no database
};

struct UnitStoreOptions {
  std::string conninfo;  // a libpq connection string or URI
  std::string station;   // the station column: --station-name or the host name
  // How long the first connection may take before the station starts
  // without it (the rows then wait).
  std::chrono::milliseconds firstConnect{5000};
  // Called on the sender's thread with a line worth showing: rows of the
  // log that are not units, a row the server refused.
  std::function<void(const std::string&)> note;
};

// Starts the sender over the log at `logPath` (already opened by a
// ResultsLog, which writes it). Unreachable at start: the store starts away
// and the rows wait. A refusal: null, with `error` (one line naming the
// server and the reason) and `refusal`.
std::unique_ptr<UnitStore> StartUnitStore(const UnitStoreOptions& options,
                                          const std::string& logPath, std::string& error,
                                          StoreRefusal& refusal);

// The host name, the default station name.
std::string HostName();
// The connection string as it may be shown: any password masked.
std::string MaskedConninfo(const std::string& conninfo);

// A recorder that records into the log, then tells the store.
class RecordAndSend final : public UnitRecorder {
 public:
  RecordAndSend(UnitRecorder& log, UnitStore& store) : log_(log), store_(store) {}
  HidResult Record(const StationUnitResult& result) override {
    HidResult r = log_.Record(result);
    if (r) store_.Added();
    return r;
  }

 private:
  UnitRecorder& log_;
  UnitStore& store_;
};

// `kbupdate results push`: every row of the log that the database lacks.
struct PushCounts {
  std::size_t sent = 0;        // new to the database
  std::size_t already = 0;     // it had them
  std::size_t unreadable = 0;  // rows that are not units (each noted)
};
// Returns an empty string, or the one-line reason with `refusal` set.
std::string PushLog(const UnitStoreOptions& options, const std::string& logPath, PushCounts& counts,
                    StoreRefusal& refusal, const std::function<void(std::size_t done)>& progress);

// `kbupdate results summary`: per station and firmware.
struct SummaryRow {
  std::string station;
  std::string firmware;
  std::int64_t units = 0;
  std::int64_t passed = 0;
  std::int64_t failed = 0;
  // From the start of the first unit (its end less its duration) to the end
  // of the last.
  double unitsPerHour = 0.0;
  std::chrono::system_clock::time_point first{};
  std::chrono::system_clock::time_point last{};
};
// `since`: any time PostgreSQL reads as a timestamptz ("2026-12-10 06:00",
// "today"), empty for all; one it does not read is a Usage refusal.
std::string Summarize(const std::string& conninfo, const std::string& since,
                      std::vector<SummaryRow>& rows, StoreRefusal& refusal);

}  // namespace kbt
