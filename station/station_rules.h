// The production-line station's rules: which keyboard is a new unit, when a
// location is free again, when the station stops. Pure: it decides from the
// keyboards listed (FindKeyboards), the times of the device events it is
// told, and the ends of runs, and touches no device, so every rule is
// table-testable. The station runner (station_runner.h) feeds it and does
// what it says.
//
// A location goes Waiting -> Updating -> Finished -> DoneUnplug -> Waiting:
//   - Waiting: nothing there, or a keyboard the station may not take (a port
//     it was not given, the count reached, stopping). A complete keyboard
//     (normal mode with its vendor interface, or update mode with Data and
//     Command) at a free location starts a unit.
//   - Updating: the unit's run. The keyboard leaves the bus and comes back
//     on its own twice (into update mode, and after Finish), so absences
//     say nothing here.
//   - Finished: the run ended (PASS or FAIL) and the unit has not been seen
//     back yet. After Finish the unit restarts into its new firmware: it
//     leaves the bus once and comes back once. Which keyboard is that unit
//     coming back is decided by what happened, never by when a listing got
//     round to looking:
//       * the times are the device events' own (when the system reported
//         the leaving and the arrival), so a busy machine whose listings
//         lag does not make a restart look long;
//       * a keyboard that reports a serial is known by it: back with the
//         same serial (in the same mode) at the location is the unit,
//         however long its restart took, up to kRestartBoundMs; another
//         serial is a new unit at once;
//       * without a serial to compare, a keyboard back within
//         kReturnWindowMs of the leaving is the unit, one later is a new
//         unit (the operator swapped it meanwhile);
//       * nothing back within that time (kRestartBoundMs with a serial):
//         the unit was taken away, the location is free.
//     After a FAIL before Finish the keyboard stays in update mode:
//     whatever is there is the unit, and an empty location is free at once
//     (a unit pulled out during its run, or pulled out to be plugged in
//     again for another try).
//   - DoneUnplug: the finished unit is there; it is left alone. Once the
//     location is empty the next keyboard is the next unit, the same one
//     plugged in again included.
// Serials of the two modes are kept apart: the update-mode firmware may
// report another one than the application does.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device/keyboards.h"

namespace kbt {

// How long after a restarting unit left the bus a keyboard at its location
// still counts as that unit coming back: longer than a restart into new
// firmware and its re-enumeration take, shorter than an operator's swap
// (pull the cable, take the next unit, plug it in).
inline constexpr std::int64_t kReturnWindowMs = 1500;
// A passed unit restarts after Finish: until it has left the bus, what is
// listed at its location is the old enumeration. One still there after this
// long never restarted and is shown done.
inline constexpr std::int64_t kLeaveWindowMs = 2000;
// How long a unit that reports a serial may take to restart after Finish
// and still be that unit when it comes back with the same serial: far more
// than any restart and re-enumeration takes, on the busiest machine. Longer
// away, it was taken away; back later, it is updated again.
inline constexpr std::int64_t kRestartBoundMs = 30000;

// When the keyboard listed at each location arrived, by the device events
// (the last of its interfaces to arrive); a location without an entry is
// taken as arrived when the listing began.
using ArrivalTimes = std::map<std::string, std::int64_t>;

struct StationConfig {
  std::vector<std::string> ports;  // only these locations; empty: every one
  int count = 0;                   // stop after this many finished units; 0: never
  std::int64_t returnWindowMs = kReturnWindowMs;
  std::int64_t leaveWindowMs = kLeaveWindowMs;
  std::int64_t restartBoundMs = kRestartBoundMs;
  // The bus reports leavings and arrivals (device events): a unit with a
  // serial is then waited for until it has left, instead of for the leave
  // window only.
  bool busEvents = false;
};

enum class SlotState { Waiting, Updating, Finished, DoneUnplug };

const char* SlotStateName(SlotState state);  // "waiting", "updating", ...

struct StationSlot {
  std::string location;
  SlotState state = SlotState::Waiting;
  bool present = false;  // something is at the location now
  // The current or last unit at this location.
  int unit = 0;  // from 1, program-wide; 0: none yet
  std::string serial;
  std::optional<bool> pass;  // once its run ended
  std::string reason;        // why it failed
  // False when its line could not be written to the results log: shown so,
  // and left out of the counts.
  bool recorded = true;
  std::int64_t startedAtMs = 0;
  std::int64_t endedAtMs = 0;
  int units = 0;  // units finished at this location

 private:
  friend class StationRules;
  std::string serialNormal;  // what the unit reported in each mode
  std::string serialUpdate;
  bool restartDue = false;  // Finish is next: the next removal is its restart
  std::int64_t restartDueAtMs = 0;
  bool departed = false;  // left the bus since Finish went out
  std::int64_t departedAtMs = 0;
  bool expectReturn = false;  // the run ended with the keyboard restarting
};

class StationRules {
 public:
  explicit StationRules(StationConfig config);

  // What the bus held when the listing began at `nowMs`, and when the
  // keyboards listed arrived. Returns the locations where a unit starts now,
  // in listing order; each is Updating from here on.
  std::vector<std::string> Observe(const KeyboardList& list, std::int64_t nowMs,
                                   const ArrivalTimes& arrivals = {});
  // The run at `location` is about to send Finish, after which the keyboard
  // restarts: a removal from here on is that restart.
  void ExpectRestart(const std::string& location, std::int64_t nowMs);
  // An interface at `location` was removed at `atMs` (a device event's
  // time): the finished unit there has left, even if it is back before the
  // next listing.
  void Removed(const std::string& location, std::int64_t atMs);
  // The unit's run at `location` ended; `recorded` false when its line
  // could not be written: a unit not on the disk is counted neither passed
  // nor failed.
  void RunEnded(const std::string& location, bool pass, const std::string& reason,
                std::int64_t nowMs, bool recorded = true);
  // Stop taking new units (SIGINT, SIGTERM, the window closing).
  void StopTaking() { stopping_ = true; }

  bool Accepts(const std::string& location) const;
  bool Taking() const;
  // No unit runs and none will start.
  bool Finished() const { return !Taking() && running_ == 0; }

  int Started() const { return started_; }
  int Running() const { return running_; }
  int Passed() const { return passed_; }
  int Failed() const { return failed_; }
  // In the order the locations were first seen.
  const std::vector<StationSlot>& Slots() const { return slots_; }
  const StationSlot* Slot(const std::string& location) const;

 private:
  StationSlot& SlotAt(const std::string& location);
  void Start(StationSlot& slot, const Keyboard& keyboard, std::int64_t nowMs);
  static void NoteSerial(StationSlot& slot, const Keyboard& keyboard);
  static void Depart(StationSlot& slot, std::int64_t nowMs);
  static bool OtherUnit(const StationSlot& slot, const Keyboard& keyboard);
  static bool SameUnit(const StationSlot& slot, const Keyboard& keyboard);
  // Finished: decides from what is listed now; true when a new unit is
  // there (the slot is then Waiting and the caller starts it).
  bool Returned(StationSlot& slot, const Keyboard* keyboard, std::int64_t nowMs,
                const ArrivalTimes& arrivals);

  StationConfig config_;
  std::vector<StationSlot> slots_;
  bool stopping_ = false;
  int started_ = 0;
  int running_ = 0;
  int passed_ = 0;
  int failed_ = 0;
};

// Units per hour over `elapsedMs`; 0 before the first unit or second.
double UnitsPerHour(int units, std::int64_t elapsedMs);

}  // namespace kbt
