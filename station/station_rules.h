// The production-line station's rules: which keyboard is a new unit, when a
// location is free again, when the station stops. Pure: it decides from the
// keyboards listed (FindKeyboards), the time it is told and the ends of runs
// it is told, and touches no device, so every rule is table-testable. The
// station runner (station_runner.h) feeds it and does what it says.
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
//     back yet. After a PASS it restarts into its new firmware: it leaves
//     the bus, and a keyboard at the location within kReturnWindowMs of its
//     leaving is that unit coming back; nobody within the window: the unit
//     was taken away, the location is free, and whatever comes later is
//     the next unit. After a FAIL before
//     Finish it stays in update mode: whatever is there is the unit, and an
//     empty location is free at once (a unit pulled out during its run, or
//     pulled out to be plugged in again for another try).
//   - DoneUnplug: the finished unit is there; it is left alone. Once the
//     location is empty the next keyboard is the next unit.
// Serial numbers, where the keyboard reports one, tell units apart beyond
// that: a keyboard in a location that is Finished or DoneUnplug whose serial
// differs from the one the unit reported in the same mode (normal or update
// mode; the two firmwares may report different ones) is a new unit, even if
// the empty moment between them was missed. Without serials the rule above
// is the whole rule: a unit swapped in faster than the finished one restarts
// (within kReturnWindowMs of its leaving) is taken for it and not updated;
// the operator sees "done, unplug" on it.
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

struct StationConfig {
  std::vector<std::string> ports;  // only these locations; empty: every one
  int count = 0;                   // stop after this many finished units; 0: never
  std::int64_t returnWindowMs = kReturnWindowMs;
  std::int64_t leaveWindowMs = kLeaveWindowMs;
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
  bool departed = false;    // left the bus since Finish went out
  std::int64_t departedAtMs = 0;
  bool expectReturn = false;  // the run ended with the keyboard restarting
};

class StationRules {
 public:
  explicit StationRules(StationConfig config);

  // What the bus holds now. Returns the locations where a unit starts now,
  // in listing order; each is Updating from here on.
  std::vector<std::string> Observe(const KeyboardList& list, std::int64_t nowMs);
  // The run at `location` is about to send Finish, after which the keyboard
  // restarts: a removal from here on is that restart.
  void ExpectRestart(const std::string& location);
  // An interface at `location` was removed (a device event): the finished
  // unit there has left, even if it is back before the next listing.
  void Removed(const std::string& location, std::int64_t nowMs);
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
