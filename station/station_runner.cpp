#include "station/station_runner.h"

#include <algorithm>
#include <map>

#include "device/keyboards.h"
#include "device/update_mode.h"

namespace kbt {

struct StationRunner::Unit {
  std::string location;
  Keyboard keyboard;     // as it was found
  int steps = 0;         // under mutex_
  std::string activity;  // under mutex_
  bool ended = false;    // under mutex_
  std::thread thread;
};

namespace {

// How long an interface of a leaving keyboard is held back at most, when its
// removal never comes (a lost event): long enough for the removal of a
// keyboard's last interface on a busy machine. A path that arrives again is
// not held back.
constexpr std::int64_t kLeavingMs = 10000;

StationConfig WithBusEvents(StationConfig config, bool events) {
  config.busEvents = events;
  return config;
}

}  // namespace

// A unit's view of the bus while it waits for its keyboard in update mode:
// the listing that the bus watch renews at every pass, so that the units
// waiting at once list nothing themselves.
class StationRunner::ListingWatch final : public BusWatch {
 public:
  explicit ListingWatch(StationRunner& runner) : runner_(runner) {}
  HidResult Look(KeyboardList& list) override {
    std::lock_guard lock(runner_.mutex_);
    list = runner_.lastList_;
    seen_ = runner_.listings_;
    return HidResult::Ok();
  }
  void WaitForChange(unsigned ms, const std::atomic<bool>* cancel) override {
    std::unique_lock lock(runner_.mutex_);
    runner_.changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      return runner_.listings_ != seen_ || (cancel && cancel->load());
    });
  }

 private:
  StationRunner& runner_;
  std::uint64_t seen_ = 0;
};

// A run's progress and notes, into its tile and the sink.
class StationRunner::UnitSink : public SessionSink {
 public:
  UnitSink(StationRunner& runner, Unit& unit) : runner_(runner), unit_(unit) {}
  void Step(const SessionProgress& progress) override {
    std::lock_guard sinkLock(runner_.sinkMutex_);
    {
      std::lock_guard lock(runner_.mutex_);
      ++unit_.steps;
      unit_.activity = progress.StageText();
      // The information block is the last step before Finish.
      if (progress.stage == SessionStage::InformationBlock)
        runner_.rules_.ExpectRestart(unit_.location, runner_.NowMs());
    }
    runner_.Emit({StationEvent::Kind::Progress, unit_.location, {}, nullptr});
  }
  void Note(const std::string& line) override {
    lastNote = line;
    std::lock_guard sinkLock(runner_.sinkMutex_);
    runner_.Emit({StationEvent::Kind::Note, unit_.location, line, nullptr});
  }
  std::string lastNote;

 private:
  StationRunner& runner_;
  Unit& unit_;
};

StationRunner::StationRunner(HidBackend& hid, DeviceEventSource* events, const std::uint8_t* image,
                             CounterSource counter, UnitRecorder* recorder, StationSink* sink,
                             StationRunnerOptions options)
    : hid_(hid),
      events_(events),
      image_(image),
      counter_(std::move(counter)),
      recorder_(recorder),
      sink_(sink),
      options_(std::move(options)),
      start_(std::chrono::steady_clock::now()),
      rules_(WithBusEvents(options_.rules, events != nullptr)) {}

StationRunner::~StationRunner() {
  cancel_ = true;
  changed_.notify_all();
  JoinEnded(true);
}

std::int64_t StationRunner::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

std::int64_t StationRunner::EventMs(const DeviceEvent& event, std::int64_t fallbackMs) const {
  if (event.at == std::chrono::steady_clock::time_point{}) return fallbackMs;
  return std::chrono::duration_cast<std::chrono::milliseconds>(event.at - start_).count();
}

StationStatus StationRunner::StatusLocked() {
  StationStatus status;
  for (const StationSlot& slot : rules_.Slots()) {
    StationTile tile{slot, 0, {}};
    for (const Unit& u : units_) {
      if (u.location != slot.location || u.ended) continue;
      tile.steps = u.steps;
      tile.activity = u.activity;
    }
    status.tiles.push_back(std::move(tile));
  }
  status.passed = rules_.Passed();
  status.failed = rules_.Failed();
  status.running = rules_.Running();
  status.elapsedMs = NowMs();
  status.unitsPerHour = UnitsPerHour(status.passed + status.failed, status.elapsedMs);
  status.taking = rules_.Taking();
  if (options_.database) status.database = options_.database->Status();
  return status;
}

StationStatus StationRunner::Status() {
  std::lock_guard lock(mutex_);
  return StatusLocked();
}

void StationRunner::Emit(StationEvent event) {
  if (!sink_) return;
  StationStatus status;
  {
    std::lock_guard lock(mutex_);
    status = StatusLocked();
  }
  sink_->Update(status, event);
}

void StationRunner::ReportDone(const std::vector<StationSlot>& before) {
  // Compares each location with what it was before a change of the rules'
  // state, and says what changed. mutex_ is not held here.
  std::vector<StationSlot> after;
  {
    std::lock_guard lock(mutex_);
    after = rules_.Slots();
  }
  for (const StationSlot& now : after) {
    auto was = std::find_if(before.begin(), before.end(),
                            [&](const StationSlot& s) { return s.location == now.location; });
    const bool isNew = was == before.end();
    if (!isNew && was->state == now.state && was->unit == now.unit) continue;
    if (options_.busLog)
      options_.busLog(std::to_string(NowMs()) + " ms: " + now.location + " unit " +
                      std::to_string(now.unit) + " " + SlotStateName(now.state));
    Emit({StationEvent::Kind::Slot, now.location, SlotStateName(now.state), nullptr});
    const bool shownDone = now.state == SlotState::DoneUnplug;
    const bool goneBeforeBack =
        !isNew && was->state == SlotState::Finished && now.state == SlotState::Waiting;
    if (shownDone || goneBeforeBack) Emit({StationEvent::Kind::Done, now.location, {}, nullptr});
  }
}

void StationRunner::Run() {
  std::optional<UnitStoreStatus> databaseShown;
  bool stopping = false;
  bool stopSaid = false;
  bool cancelled = false;
  auto stopDeadline = std::chrono::steady_clock::now();
  auto nextPass = std::chrono::steady_clock::now();
  Pass({});
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if ((stopRequested_ || abortRequested_) && !stopping) {
      stopping = true;
      stopDeadline = now + std::chrono::milliseconds(options_.stopGraceMs);
      std::lock_guard lock(mutex_);
      rules_.StopTaking();
    }
    if (!stopSaid && (stopping || recordFailed_)) {
      stopSaid = true;
      std::lock_guard sinkLock(sinkMutex_);
      {
        std::lock_guard lock(mutex_);
        rules_.StopTaking();
      }
      Emit({StationEvent::Kind::Stopping,
            {},
            recordFailed_ ? "a unit could not be recorded" : "stop requested",
            nullptr});
    }
    if (!cancelled && stopping && (abortRequested_ || now >= stopDeadline)) {
      cancelled = true;
      cancel_ = true;
      changed_.notify_all();
    }
    JoinEnded(false);
    {
      std::lock_guard lock(mutex_);
      if (rules_.Finished()) break;
    }
    if (options_.database) {
      // The sender's state is looked at here, on the bus watch's rounds:
      // the sender never waits for the runner.
      const UnitStoreStatus now = options_.database->Status();
      if (!databaseShown || !databaseShown->SameShown(now)) {
        databaseShown = now;
        std::lock_guard sinkLock(sinkMutex_);
        Emit({StationEvent::Kind::Database, {}, {}, nullptr});
      }
    }

    std::vector<DeviceEvent> events;
    const unsigned waitMs = 100;
    if (events_) {
      DeviceEvent e;
      if (events_->WaitEvent(e, waitMs)) {
        events.push_back(std::move(e));
        while (events_->WaitEvent(e, 0)) events.push_back(std::move(e));
      }
    } else {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(waitMs));
    }
    if (!events.empty() || std::chrono::steady_clock::now() >= nextPass) {
      Pass(std::move(events));
      nextPass = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.pollMs);
    }
  }
  JoinEnded(true);
}

void StationRunner::Pass(std::vector<DeviceEvent> events) {
  std::vector<InterfaceProbe> probes;
  // The bus as the listing shows it is the bus when the listing began: the
  // listing opens every candidate interface, which takes a while (a USB HID
  // interface's first open alone waits 50 ms in the kernel, a busy machine
  // takes seconds), and that time must not count against a unit's return.
  const std::int64_t now = NowMs();
  // A listing that fails now sees nothing new; the next pass tries again.
  const bool listed = static_cast<bool>(ProbeInterfaces(hid_, probes));
  // What happened while the listing ran is known now too, each at its time.
  if (events_) {
    DeviceEvent e;
    while (events_->WaitEvent(e, 0)) events.push_back(std::move(e));
  }
  std::lock_guard sinkLock(sinkMutex_);
  std::vector<StationSlot> before;
  std::vector<std::string> starts;
  {
    std::lock_guard lock(mutex_);
    before = rules_.Slots();
    // In the order they happened, against the listing before this one: a
    // removed interface is known by where it was. What each path did last:
    // one removed while the listing ran may still be in it.
    std::map<DevicePath, DeviceEvent::Kind> last;
    // What the listing holds for a path removed in this round may be the
    // interface that left, even where another one has the path by now (the
    // kernel hands a freed hidraw node to the next device, and takes the
    // node out of sysfs only after it has reported its removal). Where the
    // system names each appearance of an interface, the listed one is
    // dropped if it is the one removed; otherwise if the removal came after
    // the listing began.
    std::multimap<DevicePath, std::pair<std::string, std::int64_t>> removedNow;
    for (const DeviceEvent& e : events) {
      const std::int64_t at = EventMs(e, now);
      if (options_.busLog)
        options_.busLog(std::to_string(at) + " ms: " +
                        (e.kind == DeviceEvent::Kind::Arrival   ? "arrival "
                         : e.kind == DeviceEvent::Kind::Removal ? "removal "
                                                                : "event ") +
                        std::string(e.path.begin(), e.path.end()));
      // Windows names an interface in one case in its notification and in
      // another in its listing.
      const DevicePath key = FoldedDevicePath(e.path);
      if (e.kind != DeviceEvent::Kind::Other) last[key] = e.kind;
      if (e.kind == DeviceEvent::Kind::Arrival) {
        arrivals_[key] = at;
        continue;
      }
      if (e.kind != DeviceEvent::Kind::Removal) continue;
      arrivals_.erase(key);
      removedNow.emplace(key, std::make_pair(e.instance, at));
      // The rest of a keyboard that has begun to leave: not a leaving of
      // its own (on a busy machine the last interface of a restarting unit
      // may go after the unit is back and shown done).
      if (leaving_.count(key)) continue;
      for (const ListedPath& listed : lastPaths_) {
        if (listed.path != key) continue;
        // A removal read late (the reading thread starved) of the interface
        // that had the path before the one listed there now.
        if (!e.instance.empty() && !listed.instance.empty() && e.instance != listed.instance)
          continue;
        rules_.Removed(listed.location, at);
        // The keyboard's other interfaces go too, each with its own removal.
        for (const ListedPath& other : lastPaths_)
          if (other.location == listed.location) leaving_.emplace(other.path, at);
      }
    }
    // A path removed is no longer leaving, and one that arrived again (the
    // kernel hands a freed hidraw minor to the next device) is new.
    for (const auto& [key, kind] : last) leaving_.erase(key);
    // A removal that never came (a lost event) holds an interface back only
    // this long.
    std::erase_if(leaving_, [now](const auto& l) { return now - l.second > kLeavingMs; });
    if (listed) {
      auto gone = [&](const DevicePath& key, const std::string& instance) {
        const auto l = last.find(key);
        if (l != last.end() && l->second == DeviceEvent::Kind::Removal) return true;
        const auto [from, to] = removedNow.equal_range(key);
        return std::any_of(from, to, [&](const auto& r) {
          const auto& [removed, at] = r.second;
          return removed.empty() || instance.empty() ? at >= now : removed == instance;
        });
      };
      std::erase_if(probes, [&](const InterfaceProbe& p) {
        return gone(FoldedDevicePath(p.info.path), p.info.instance);
      });
      lastPaths_.clear();
      for (const InterfaceProbe& p : probes)
        lastPaths_.push_back({FoldedDevicePath(p.info.path),
                              p.info.location.empty() ? kUnknownLocation : p.info.location,
                              p.info.instance});
      std::erase_if(probes, [&](const InterfaceProbe& p) {
        return leaving_.count(FoldedDevicePath(p.info.path)) != 0;
      });
      lastList_ = FindKeyboards(probes);
      ++listings_;
    }
    // Each place's keyboard arrived when the last of its interfaces did.
    ArrivalTimes arrivedAt;
    for (const ListedPath& listed : lastPaths_) {
      if (leaving_.count(listed.path)) continue;
      const auto a = arrivals_.find(listed.path);
      if (a == arrivals_.end()) continue;
      auto [it, fresh] = arrivedAt.emplace(listed.location, a->second);
      if (!fresh) it->second = std::max(it->second, a->second);
    }
    if (options_.busLog) {
      std::string line = std::to_string(now) + " ms: listing" + (listed ? "" : " failed") + ":";
      for (const Keyboard& k : lastList_.keyboards) {
        line += " " + k.location + (k.mode == KeyboardMode::Normal ? " normal" : " update") +
                (k.Complete() ? "" : " incomplete") + (k.serial.empty() ? "" : " " + k.serial);
        if (const auto a = arrivedAt.find(k.location); a != arrivedAt.end())
          line += " arrived " + std::to_string(a->second) + " ms";
        line += ";";
      }
      options_.busLog(line);
    }
    starts = rules_.Observe(lastList_, now, arrivedAt);
    for (const std::string& location : starts) {
      Unit& u = units_.emplace_back();
      u.location = location;
      u.keyboard = *lastList_.At(location);
      u.activity = u.keyboard.mode == KeyboardMode::Normal ? "entering update mode" : "starting";
    }
  }
  changed_.notify_all();
  ReportDone(before);
  // One thread per new unit; it touches only its own entry, under mutex_.
  std::lock_guard lock(mutex_);
  for (Unit& u : units_) {
    if (u.thread.joinable() || u.ended) continue;
    Unit* unit = &u;
    try {
      u.thread = std::thread([this, unit] { RunUnit(*unit); });
    } catch (const std::system_error&) {
      // No thread now (resources exhausted): the unit stays claimed and the
      // next pass tries again, rather than blocking the bus watch.
    }
  }
}

void StationRunner::RunUnit(Unit& unit) {
  const auto started = std::chrono::steady_clock::now();
  StationUnitResult result;
  Keyboard keyboard;
  {
    std::lock_guard lock(mutex_);
    keyboard = unit.keyboard;
    result.unit = rules_.Slot(unit.location)->unit;
  }
  result.location = unit.location;
  {
    std::lock_guard sinkLock(sinkMutex_);
    Emit({StationEvent::Kind::Progress, unit.location, {}, nullptr});
  }

  // The unit starts its run at once once back: the settling time is the
  // Begin command's own wait.
  UpdateModeOptions entry;
  entry.backWithin = std::chrono::milliseconds(options_.entryTimeoutMs);
  entry.cancel = &cancel_;
  entry.settleMs = 0;
  entry.sleep = options_.sleep;
  ListingWatch watch(*this);
  const UpdateModeResult mode = AwaitUpdateMode(hid_, watch, {keyboard}, entry).front();
  switch (mode.outcome) {
    case UpdateModeResult::Outcome::Ready:
      keyboard = mode.keyboard;
      if (mode.entered) {
        std::lock_guard lock(mutex_);
        unit.activity = "update mode";
      }
      break;
    case UpdateModeResult::Outcome::EntryFailed:
      result.reason = "enter update mode: " + mode.error;
      break;
    case UpdateModeResult::Outcome::NotBack:
    case UpdateModeResult::Outcome::NoAccess:
    case UpdateModeResult::Outcome::Cancelled:
      result.reason = cancel_ ? "interrupted" : "did not come back in update mode";
      break;
  }
  if (result.reason.empty()) {
    UnitSink sink(*this, unit);
    UpdateSession session(hid_, {keyboard.data, keyboard.command, unit.location, keyboard.listed},
                          image_, &sink, counter_, &cancel_, options_.sleep);
    result.pass = session.Run() == kUpdateRunOk;
    result.counter = session.CounterWritten();
    if (!result.pass)
      result.reason = session.Cancelled()      ? "interrupted"
                      : !sink.lastNote.empty() ? sink.lastNote
                                               : "update failed";
  }
  {
    std::lock_guard lock(mutex_);
    const StationSlot* slot = rules_.Slot(unit.location);
    result.serial = slot ? slot->serial : std::string();
  }
  result.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
  result.ended = std::chrono::system_clock::now();
  Finish(unit, std::move(result));
}

void StationRunner::Finish(Unit& unit, StationUnitResult result) {
  const std::string location = unit.location;
  // Recorded first: a unit shown finished is on the disk, and one that is
  // not is shown so and left out of the counts.
  if (recorder_) {
    if (HidResult r = recorder_->Record(result); !r) {
      recordFailed_ = true;
      result.recorded = false;
      std::lock_guard sinkLock(sinkMutex_);
      Emit({StationEvent::Kind::Note, location, "results log: " + r.error, nullptr});
    }
  }
  {
    std::lock_guard sinkLock(sinkMutex_);
    std::vector<StationSlot> before;
    {
      std::lock_guard lock(mutex_);
      before = rules_.Slots();
      rules_.RunEnded(location, result.pass, result.reason, NowMs(), result.recorded);
      if (recordFailed_) rules_.StopTaking();
    }
    Emit({StationEvent::Kind::Ended, location, {}, &result});
    ReportDone(before);
  }
  // The last touch of the unit: once ended, the bus watch may join and drop it.
  {
    std::lock_guard lock(mutex_);
    unit.ended = true;
  }
  changed_.notify_all();
}

void StationRunner::JoinEnded(bool all) {
  std::vector<std::thread> done;
  {
    std::unique_lock lock(mutex_);
    for (auto it = units_.begin(); it != units_.end();) {
      if (it->ended || (all && it->thread.joinable())) {
        if (it->thread.joinable()) done.push_back(std::move(it->thread));
        if (all && !it->ended) {
          ++it;
          continue;
        }
        it = units_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (std::thread& t : done) t.join();
  if (all) {
    std::lock_guard lock(mutex_);
    units_.remove_if([](const Unit& u) { return u.ended; });
  }
}

}  // namespace kbt
