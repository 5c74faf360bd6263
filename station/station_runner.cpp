#include "device/station_runner.h"

#include <algorithm>

#include "device/keyboards.h"

namespace kbt {

struct StationRunner::Unit {
  std::string location;
  Keyboard keyboard;                   // as it was found; the update-mode one once switched
  int steps = 0;                       // under mutex_
  std::string activity;                // under mutex_
  bool waitingForUpdate = false;       // under mutex_: the keyboard was sent the pair
  std::optional<Keyboard> updateMode;  // under mutex_: handed over by a pass
  bool ended = false;                  // under mutex_
  std::thread thread;
};

namespace {

std::string Activity(const SessionProgress& p) {
  std::string text;
  switch (p.stage) {
    case SessionStage::Begin:
      return "begin";
    case SessionStage::Program:
      text = "program block " + std::to_string(p.block);
      break;
    case SessionStage::Verify:
      text = "verify block " + std::to_string(p.block);
      break;
    case SessionStage::InformationBlock:
      return "information block";
    case SessionStage::Finish:
      return "finish";
    case SessionStage::Read:
      return "read block " + std::to_string(p.block);
  }
  if (p.attempt > 1) text += " (attempt " + std::to_string(p.attempt) + ")";
  return text;
}

}  // namespace

// A run's progress and notes, into its tile and the sink.
class StationRunner::UnitSink : public SessionSink {
 public:
  UnitSink(StationRunner& runner, Unit& unit) : runner_(runner), unit_(unit) {}
  void Step(const SessionProgress& progress) override {
    std::lock_guard sinkLock(runner_.sinkMutex_);
    {
      std::lock_guard lock(runner_.mutex_);
      ++unit_.steps;
      unit_.activity = Activity(progress);
      // The information block is the last step before Finish.
      if (progress.stage == SessionStage::InformationBlock)
        runner_.rules_.ExpectRestart(unit_.location);
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
      rules_(options_.rules) {}

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
    Emit({StationEvent::Kind::Slot, now.location, SlotStateName(now.state), nullptr});
    const bool shownDone = now.state == SlotState::DoneUnplug;
    const bool goneBeforeBack =
        !isNew && was->state == SlotState::Finished && now.state == SlotState::Waiting;
    if (shownDone || goneBeforeBack) Emit({StationEvent::Kind::Done, now.location, {}, nullptr});
  }
}

void StationRunner::Run() {
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
      Pass(events);
      nextPass = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.pollMs);
    }
  }
  JoinEnded(true);
}

void StationRunner::Pass(const std::vector<DeviceEvent>& events) {
  std::vector<InterfaceProbe> probes;
  // A listing that fails now sees nothing new; the next pass tries again.
  const bool listed = static_cast<bool>(ProbeInterfaces(hid_, probes));
  std::lock_guard sinkLock(sinkMutex_);
  std::vector<StationSlot> before;
  std::vector<std::string> starts;
  {
    std::lock_guard lock(mutex_);
    before = rules_.Slots();
    for (const DeviceEvent& e : events) {
      if (e.kind != DeviceEvent::Kind::Removal) continue;
      for (const auto& [path, location] : lastPaths_)
        if (path == e.path) rules_.Removed(location, NowMs());
    }
    if (listed) {
      lastList_ = FindKeyboards(probes);
      lastPaths_.clear();
      for (const InterfaceProbe& p : probes)
        lastPaths_.emplace_back(p.info.path,
                                p.info.location.empty() ? kUnknownLocation : p.info.location);
    }
    starts = rules_.Observe(lastList_, NowMs());
    // A keyboard sent the pair is handed over once it is back in update mode.
    for (Unit& u : units_) {
      if (!u.waitingForUpdate || u.updateMode) continue;
      const Keyboard* k = lastList_.At(u.location);
      if (k && k->mode == KeyboardMode::Update && k->Complete()) u.updateMode = *k;
    }
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

bool StationRunner::AwaitUpdateMode(Unit& unit, Keyboard& keyboard) {
  std::unique_lock lock(mutex_);
  unit.waitingForUpdate = true;
  const bool back = changed_.wait_for(lock, std::chrono::milliseconds(options_.entryTimeoutMs),
                                      [&] { return unit.updateMode.has_value() || cancel_; });
  unit.waitingForUpdate = false;
  if (!back || !unit.updateMode) return false;
  keyboard = *unit.updateMode;
  unit.activity = "update mode";
  return true;
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

  if (keyboard.mode == KeyboardMode::Normal) {
    if (HidResult r = EnterUpdateMode(hid_, keyboard); !r) {
      result.reason = "enter update mode: " + r.error;
    } else if (!AwaitUpdateMode(unit, keyboard)) {
      result.reason = cancel_ ? "interrupted" : "did not come back in update mode";
    }
  }
  if (result.reason.empty()) {
    UnitSink sink(*this, unit);
    UpdateSession session(hid_, {keyboard.data, keyboard.command, unit.location}, image_, &sink,
                          counter_, &cancel_);
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
  // Recorded first: a unit shown finished is on the disk.
  if (recorder_) {
    if (HidResult r = recorder_->Record(result); !r) {
      recordFailed_ = true;
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
      rules_.RunEnded(location, result.pass, result.reason, NowMs());
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
