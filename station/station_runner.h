// The station at work: watches the bus (device events, then ProbeInterfaces
// and FindKeyboards), hands what it sees to the station's rules
// (station_rules.h), and for every unit they start brings the keyboard into
// update mode (AwaitUpdateMode, over the listing the bus watch keeps) and
// runs one UpdateSession on a thread of its own. Each finished unit is
// recorded (the results log) before it is shown finished. The front ends
// (the command line, the station window) see it only through the
// StationSink; none of them decides anything.
//
// Stopping: RequestStop() (SIGINT, SIGTERM, closing the window) takes no new
// unit and lets the runs in progress finish, at most stopGraceMs; then, or
// at once on RequestAbort() (a second SIGINT), their sessions are cancelled
// before their next report and they are recorded as FAIL "interrupted".
// Both only set flags: they may be called from a signal handler.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/device_events.h"
#include "device/hid.h"
#include "device/session.h"
#include "device/sleep.h"
#include "device/update_counter.h"
#include "station/station_rules.h"
#include "station/unit_store_status.h"

namespace kbt {

// One finished unit, as the results log records it.
struct StationUnitResult {
  int unit = 0;
  std::string location;
  std::string serial;
  bool pass = false;
  std::int64_t durationMs = 0;
  std::optional<std::uint16_t> counter;  // written to the information block
  std::string reason;                    // empty on PASS
  std::chrono::system_clock::time_point ended;
  bool recorded = true;  // false: its line could not be written to the log
};

// Where finished units are recorded; the unit is shown finished only after
// Record returned. A failure stops the station: it takes no unit it cannot
// record.
class UnitRecorder {
 public:
  virtual ~UnitRecorder() = default;
  virtual HidResult Record(const StationUnitResult& result) = 0;
};

// One location as a front end shows it.
struct StationTile {
  StationSlot slot;
  int steps = 0;  // Progress steps of the run so far (UpdateSession::kRunSteps without repetitions)
  std::string activity;  // "update mode", "program block 3", "verify block 6 (attempt 2)"
};

struct StationStatus {
  std::vector<StationTile> tiles;  // in the order the locations were first seen
  int passed = 0;
  int failed = 0;
  int running = 0;
  std::int64_t elapsedMs = 0;
  double unitsPerHour = 0.0;
  bool taking = true;                       // false once stopping or the count is reached
  std::optional<UnitStoreStatus> database;  // with a database only

  // The tile of `location`, null when it has none.
  const StationTile* TileAt(const std::string& location) const {
    for (const StationTile& t : tiles)
      if (t.slot.location == location) return &t;
    return nullptr;
  }
};

struct StationEvent {
  enum class Kind {
    Slot,      // a location changed state (waiting, updating, finished, done)
    Progress,  // a run made a step
    Ended,     // a unit ended; `result` is set (already recorded)
    Done,      // the finished unit at `location` can go: shown "done, unplug",
               // or gone before it came back
    Note,      // a line worth showing: a failed step, a record that failed
    Stopping,  // no new units from now on; `text` says why
    Database,  // the database's state or its rows waiting changed
  };
  Kind kind = Kind::Slot;
  std::string location;
  std::string text;
  const StationUnitResult* result = nullptr;
};

// Declared here, implemented by each front end. Calls come from the runner's
// threads one at a time, in order; a sink must not call back into the runner.
class StationSink {
 public:
  virtual ~StationSink() = default;
  virtual void Update(const StationStatus& status, const StationEvent& event) = 0;
};

struct StationRunnerOptions {
  StationConfig rules;
  // How long stopping waits for the runs in progress before cancelling them.
  unsigned stopGraceMs = 60000;
  // How long a keyboard sent the Enter-update-mode pair may take to come
  // back in update mode.
  unsigned entryTimeoutMs = 15000;
  // The bus is listed again at least this often without any device event
  // (a layer with no events, the rules' time windows).
  unsigned pollMs = 500;
  // The waits of the entry into update mode and of the runs (empty: real
  // time; tests record them).
  Sleeper sleep;
  // The database's sender, where there is one: its state goes into every
  // status, and a change of it is an event. Outlives the runner.
  const UnitStore* database = nullptr;
  // Where set, one line for every device event the bus watch takes (with
  // its own time), every listing (when it began, the keyboards in it, when
  // they arrived) and every change of a place's state: what the station saw
  // when a unit was, or was not, taken. Called on the bus watch's thread.
  std::function<void(const std::string&)> busLog;
};

class StationRunner {
 public:
  // `events` may be null (the bus is then listed every pollMs). `image`
  // holds kImageSize bytes and outlives the runner; so do the others.
  // `counter` is the program's update counter.
  StationRunner(HidBackend& hid, DeviceEventSource* events, const std::uint8_t* image,
                CounterSource counter, UnitRecorder* recorder, StationSink* sink,
                StationRunnerOptions options);
  ~StationRunner();
  StationRunner(const StationRunner&) = delete;
  StationRunner& operator=(const StationRunner&) = delete;

  // Runs until the count is reached or a stop has ended every run.
  void Run();

  void RequestStop() { stopRequested_ = true; }
  void RequestAbort() { abortRequested_ = true; }

  StationStatus Status();
  // True when a unit could not be recorded (the station then stopped).
  bool RecordFailed() const { return recordFailed_; }
  // True when runs in progress were cancelled.
  bool Aborted() const { return cancel_; }

 private:
  struct Unit;
  class UnitSink;
  class ListingWatch;

  void Pass(std::vector<DeviceEvent> events);
  void RunUnit(Unit& unit);
  void Finish(Unit& unit, StationUnitResult result);
  void Emit(StationEvent event);  // sinkMutex_ held by the caller
  StationStatus StatusLocked();   // mutex_ held
  std::int64_t NowMs() const;
  // An event's own time on the NowMs() clock; `fallbackMs` when it has none.
  std::int64_t EventMs(const DeviceEvent& event, std::int64_t fallbackMs) const;
  void ReportDone(const std::vector<StationSlot>& before);  // sinkMutex_ held
  void JoinEnded(bool all);

  HidBackend& hid_;
  DeviceEventSource* events_;
  const std::uint8_t* image_;
  CounterSource counter_;
  UnitRecorder* recorder_;
  StationSink* sink_;
  StationRunnerOptions options_;
  const std::chrono::steady_clock::time_point start_;

  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> abortRequested_{false};
  std::atomic<bool> cancel_{false};
  std::atomic<bool> recordFailed_{false};

  std::mutex sinkMutex_;  // taken before mutex_: one sink call at a time, in order
  std::mutex mutex_;
  std::condition_variable changed_;
  StationRules rules_;
  std::list<Unit> units_;  // under mutex_
  // Paths as FoldedDevicePath gives them, in the maps below too.
  struct ListedPath {
    DevicePath path;
    std::string location;
    std::string instance;  // HidInterfaceInfo::instance
  };
  std::vector<ListedPath> lastPaths_;
  // Interfaces of keyboards that have begun to leave, and since when: the
  // system removes a keyboard's interfaces one after the other, and those
  // still listed are neither the keyboard back nor a new one.
  std::map<DevicePath, std::int64_t> leaving_;
  // When each interface present arrived, by its device event.
  std::map<DevicePath, std::int64_t> arrivals_;
  KeyboardList lastList_;       // under mutex_
  std::uint64_t listings_ = 0;  // under mutex_: how often lastList_ was renewed
};

}  // namespace kbt
