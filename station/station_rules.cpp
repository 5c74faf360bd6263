#include "station/station_rules.h"

#include <algorithm>
#include <set>

namespace kbt {

const char* SlotStateName(SlotState state) {
  switch (state) {
    case SlotState::Waiting:
      return "waiting";
    case SlotState::Updating:
      return "updating";
    case SlotState::Finished:
      return "finished";
    case SlotState::DoneUnplug:
      return "done, unplug";
  }
  return "?";
}

StationRules::StationRules(StationConfig config) : config_(std::move(config)) {
  // Given ports are shown from the start, waiting, in the order given.
  for (const std::string& port : config_.ports) SlotAt(port);
}

bool StationRules::Accepts(const std::string& location) const {
  return config_.ports.empty() ||
         std::find(config_.ports.begin(), config_.ports.end(), location) != config_.ports.end();
}

bool StationRules::Taking() const {
  return !stopping_ && (config_.count <= 0 || started_ < config_.count);
}

const StationSlot* StationRules::Slot(const std::string& location) const {
  for (const StationSlot& s : slots_)
    if (s.location == location) return &s;
  return nullptr;
}

StationSlot& StationRules::SlotAt(const std::string& location) {
  for (StationSlot& s : slots_)
    if (s.location == location) return s;
  slots_.push_back({});
  slots_.back().location = location;
  return slots_.back();
}

void StationRules::NoteSerial(StationSlot& slot, const Keyboard& keyboard) {
  if (keyboard.serial.empty()) return;
  std::string& known =
      keyboard.mode == KeyboardMode::Normal ? slot.serialNormal : slot.serialUpdate;
  if (known.empty()) known = keyboard.serial;
  if (slot.serial.empty()) slot.serial = keyboard.serial;
}

bool StationRules::OtherUnit(const StationSlot& slot, const Keyboard& keyboard) {
  if (keyboard.serial.empty()) return false;
  const std::string& known =
      keyboard.mode == KeyboardMode::Normal ? slot.serialNormal : slot.serialUpdate;
  return !known.empty() && known != keyboard.serial;
}

void StationRules::Start(StationSlot& slot, const Keyboard& keyboard, std::int64_t nowMs) {
  slot.state = SlotState::Updating;
  slot.unit = ++started_;
  slot.serial.clear();
  slot.serialNormal.clear();
  slot.serialUpdate.clear();
  NoteSerial(slot, keyboard);
  slot.pass.reset();
  slot.reason.clear();
  slot.recorded = true;
  slot.startedAtMs = nowMs;
  slot.endedAtMs = 0;
  slot.restartDue = false;
  slot.restartDueAtMs = 0;
  slot.departed = false;
  slot.departedAtMs = 0;
  slot.expectReturn = false;
  ++running_;
}

bool StationRules::SameUnit(const StationSlot& slot, const Keyboard& keyboard) {
  if (keyboard.serial.empty()) return false;
  const std::string& known =
      keyboard.mode == KeyboardMode::Normal ? slot.serialNormal : slot.serialUpdate;
  return known == keyboard.serial;
}

bool StationRules::Returned(StationSlot& slot, const Keyboard* k, std::int64_t nowMs,
                            const ArrivalTimes& arrivals) {
  // Another serial in the same mode: a new unit, however soon.
  if (k && OtherUnit(slot, *k)) {
    slot.state = SlotState::Waiting;
    return true;
  }
  // Failed before Finish: no restart comes. Whatever is there is the unit;
  // an empty place is free.
  if (!slot.expectReturn) {
    if (!slot.present) {
      slot.state = SlotState::Waiting;
      return false;
    }
    if (k) NoteSerial(slot, *k);
    slot.state = SlotState::DoneUnplug;
    return false;
  }
  const bool hasSerial = !slot.serialNormal.empty() || !slot.serialUpdate.empty();
  if (!slot.present) {
    Depart(slot, nowMs);  // a listing saw it gone; an event may have said so earlier
    const std::int64_t away = hasSerial ? config_.restartBoundMs : config_.returnWindowMs;
    if (nowMs - slot.departedAtMs > away) slot.state = SlotState::Waiting;  // taken away
    return false;
  }
  const auto arrival = arrivals.find(slot.location);
  const bool arrivalKnown = arrival != arrivals.end();
  const std::int64_t arrivedAt = arrivalKnown ? arrival->second : nowMs;
  if (!slot.departed) {
    if (arrivalKnown && slot.restartDue && arrivedAt > slot.restartDueAtMs) {
      // Arrived after Finish went out: it left and came back, and the
      // leaving went unseen. Back as soon as it arrived.
      Depart(slot, arrivedAt - 1);
    } else {
      // Still the enumeration that finished. A keyboard with a serial on a
      // bus that reports its leaving is waited for; otherwise one that has
      // not left within the leave window never restarted.
      const std::int64_t wait =
          config_.busEvents && hasSerial ? config_.restartBoundMs : config_.leaveWindowMs;
      if (nowMs - slot.endedAtMs > wait) {
        if (k) NoteSerial(slot, *k);
        slot.state = SlotState::DoneUnplug;
      }
      return false;
    }
  }
  // Listed from before its leaving (the listing began before the removal
  // was reported, or the interface arrived before it): not back yet.
  if (arrivedAt <= slot.departedAtMs) return false;
  const std::int64_t away =
      k && SameUnit(slot, *k) ? config_.restartBoundMs : config_.returnWindowMs;
  if (arrivedAt - slot.departedAtMs > away) {
    slot.state = SlotState::Waiting;  // back later than the unit could be: the next unit
    return true;
  }
  if (k) NoteSerial(slot, *k);
  slot.state = SlotState::DoneUnplug;
  return false;
}

std::vector<std::string> StationRules::Observe(const KeyboardList& list, std::int64_t nowMs,
                                               const ArrivalTimes& arrivals) {
  // A location is occupied by anything listed there, usable or not.
  std::set<std::string> present;
  for (const Keyboard& k : list.keyboards) present.insert(k.location);
  for (const SkippedInterface& s : list.skipped) present.insert(s.location);
  // A place is shown once a keyboard of ours is there; an interface that
  // cannot be opened or described only keeps a known place occupied (an
  // unrelated unreadable device would otherwise get a tile of its own).
  for (const Keyboard& k : list.keyboards)
    if (Accepts(k.location)) SlotAt(k.location);

  std::vector<std::string> starts;
  for (StationSlot& slot : slots_) {
    slot.present = present.count(slot.location) != 0;
    const Keyboard* k = list.At(slot.location);
    switch (slot.state) {
      case SlotState::Updating:
        if (k) NoteSerial(slot, *k);
        continue;
      case SlotState::Finished:
        if (!Returned(slot, k, nowMs, arrivals)) continue;
        break;  // a new unit; started below
      case SlotState::DoneUnplug:
        if (!slot.present) {
          slot.state = SlotState::Waiting;
          continue;
        }
        if (!(k && OtherUnit(slot, *k))) continue;
        slot.state = SlotState::Waiting;
        break;
      case SlotState::Waiting:
        break;
    }
    if (k && k->Complete() && Accepts(slot.location) && Taking()) {
      Start(slot, *k, nowMs);
      starts.push_back(slot.location);
    }
  }
  return starts;
}

void StationRules::RunEnded(const std::string& location, bool pass, const std::string& reason,
                            std::int64_t nowMs, bool recorded) {
  StationSlot& slot = SlotAt(location);
  if (slot.state != SlotState::Updating) return;
  slot.state = SlotState::Finished;
  slot.pass = pass;
  slot.reason = pass ? std::string() : reason;
  slot.recorded = recorded;
  slot.endedAtMs = nowMs;
  // A passed unit restarts: it leaves and comes back. So may one whose
  // Finish report failed as the keyboard went (a device may reset before
  // its answer is through). Any other failed run sent no Finish: the
  // keyboard stays as it is, whatever is there now is the unit, and once
  // the place is empty it is free.
  slot.expectReturn = pass || slot.restartDue;
  if (!slot.expectReturn) Depart(slot, nowMs);
  --running_;
  if (!recorded) return;
  ++slot.units;
  ++(pass ? passed_ : failed_);
}

void StationRules::ExpectRestart(const std::string& location, std::int64_t nowMs) {
  for (StationSlot& slot : slots_) {
    if (slot.location != location || slot.state != SlotState::Updating || slot.restartDue) continue;
    slot.restartDue = true;
    slot.restartDueAtMs = nowMs;
  }
}

void StationRules::Depart(StationSlot& slot, std::int64_t nowMs) {
  if (slot.departed) return;
  slot.departed = true;
  slot.departedAtMs = nowMs;
}

void StationRules::Removed(const std::string& location, std::int64_t atMs) {
  for (StationSlot& slot : slots_) {
    if (slot.location != location) continue;
    if (slot.state == SlotState::Finished) Depart(slot, atMs);
    if (slot.state == SlotState::Updating && slot.restartDue) Depart(slot, atMs);
    if (slot.state == SlotState::DoneUnplug) slot.state = SlotState::Waiting;
  }
}

double UnitsPerHour(int units, std::int64_t elapsedMs) {
  if (units <= 0 || elapsedMs < 1000) return 0.0;
  return units * 3600000.0 / static_cast<double>(elapsedMs);
}

}  // namespace kbt
