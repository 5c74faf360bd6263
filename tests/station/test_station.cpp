// The station runner over simulated keyboards swapped by a scripted operator:
// every unit updated exactly once, its line in the results log, stopping and
// aborting, and the log file's own rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "device/device_events.h"
#include "image/firmware_image.h"
#include "sim/sim_hub.h"
#include "sim/sim_operator.h"
#include "station/results_log.h"
#include "station/results_log_platform.h"
#include "station/station_runner.h"
#include "station/unit_id.h"
#include "tests/device/support.h"

namespace kbt::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> TestImage() {
  std::vector<std::uint8_t> image(kImageSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 5 + 1);
  return image;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Records by line, split on commas (the test's fields hold none).
std::vector<std::vector<std::string>> Records(const fs::path& path) {
  std::vector<std::vector<std::string>> out;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (;;) {
      const std::size_t comma = line.find(',', at);
      fields.push_back(line.substr(at, comma - at));
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
    out.push_back(std::move(fields));
  }
  return out;
}

enum Column { kTime, kLocation, kSerial, kResult, kDuration, kFirmware, kSha, kCounter, kReason };

class TempDir {
 public:
  TempDir() {
    path = fs::temp_directory_path() / ("station-test-" + std::to_string(std::random_device{}()) +
                                        "-" + std::to_string(next++));
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path path;
  static inline int next = 0;
};

// What the front ends see, kept; hands "done" to the operator as a person
// reading the tile would.
class Watcher : public StationSink {
 public:
  explicit Watcher(sim::SimOperator* op) : op_(op) {}
  void Update(const StationStatus& status, const StationEvent& event) override {
    std::lock_guard lock(mutex);
    last = status;
    if (event.kind == StationEvent::Kind::Done && op_) op_->UnitDone(event.location);
    if (event.kind == StationEvent::Kind::Ended) ended.push_back(*event.result);
    if (event.kind == StationEvent::Kind::Progress && onProgress) onProgress();
    if (event.kind == StationEvent::Kind::Slot && onSlot) onSlot(event.location, event.text);
  }
  std::function<void(const std::string& location, const std::string& state)> onSlot;
  std::mutex mutex;
  StationStatus last;
  std::vector<StationUnitResult> ended;
  std::function<void()> onProgress;

 private:
  sim::SimOperator* op_;
};

struct Station {
  explicit Station(int keyboards, sim::SimBusOptions bus = FastBus())
      : hub(keyboards, sim::SimMode::Normal, bus) {
    hub.SetEventCallback([this](const DeviceEvent& e) { events.Push(e); });
  }
  static sim::SimBusOptions FastBus() {
    sim::SimBusOptions o;
    o.reenumerateDelayMs = 20;
    return o;
  }
  void Run(StationSink* sink, StationConfig config, UnitRecorder* log, unsigned graceMs = 60000) {
    StationRunnerOptions options;
    options.rules = std::move(config);
    options.stopGraceMs = graceMs;
    options.entryTimeoutMs = 5000;
    options.pollMs = 100;
    options.sleep = sleep.Function();
    // KBT_BUS_LOG=1: what the station saw, on stderr, for a test that failed.
    if (std::getenv("KBT_BUS_LOG"))
      options.busLog = [](const std::string& l) { std::fprintf(stderr, "%s\n", l.c_str()); };
    runner = std::make_unique<StationRunner>(
        hid ? *hid : hub, &events, image.data(), [this] { return counter.fetch_add(1); }, log, sink,
        options);
    runner->Run();
  }
  RecordedSleep sleep;  // the protocol's waits are recorded, not slept
  std::vector<std::uint8_t> image = TestImage();
  std::atomic<std::uint16_t> counter{1};
  DeviceEventQueue events;  // outlives the hub that feeds it
  sim::SimHub hub;
  HidBackend* hid = nullptr;  // the HID layer over the hub, where not the hub itself
  std::unique_ptr<StationRunner> runner;
};

sim::OperatorTiming QuickOperator(bool serials) {
  sim::OperatorTiming t;
  t.unplugAfterMs = 20;
  t.plugAfterMs = 30;
  t.staggerMs = 7;
  t.serials = serials;
  return t;
}

// Four places, twelve units: each place's units updated in the order they
// were plugged in, none twice and none missed, one log line each.
class StationOperatorTest : public ::testing::TestWithParam<bool> {};

TEST_P(StationOperatorTest, EveryUnitOnceAndOneLogLineEach) {
  const bool serials = GetParam();
  TempDir dir;
  Station station(4);
  std::unique_ptr<ResultsLog> log;
  ASSERT_TRUE(ResultsLog::Open((dir.path / "r.csv").string(), "FW.hex",
                               Sha256Hex(station.image.data(), station.image.size()), log));
  {
    sim::SimOperator op(station.hub, QuickOperator(serials));
    Watcher watcher(&op);
    station.Run(&watcher, {{}, 12}, log.get());
    EXPECT_EQ(watcher.last.passed, 12);
    EXPECT_EQ(watcher.last.failed, 0);
    EXPECT_EQ(watcher.last.running, 0);

    const auto records = Records(dir.path / "r.csv");
    ASSERT_EQ(records.size(), 13u);
    EXPECT_EQ(records[0].size(), 10u);
    std::map<std::string, std::vector<std::string>> serialsAt;
    std::set<std::string> counters;
    for (std::size_t i = 1; i < records.size(); ++i) {
      const auto& r = records[i];
      ASSERT_EQ(r.size(), 10u);
      EXPECT_EQ(r[kResult], "PASS");
      EXPECT_EQ(r[kFirmware], "FW.hex");
      EXPECT_EQ(r[kSha].size(), 64u);
      EXPECT_TRUE(r[kReason].empty());
      counters.insert(r[kCounter]);
      serialsAt[r[kLocation]].push_back(r[kSerial]);
    }
    EXPECT_EQ(counters.size(), 12u);  // one counter value per unit
    int total = 0;
    for (int k = 1; k <= 4; ++k) {
      const std::string location = sim::SimLocation(k);
      SCOPED_TRACE(location);
      const auto& got = serialsAt[location];
      const int plugged = op.UnitsPlugged(k);
      const int logged = static_cast<int>(got.size());
      total += logged;
      // Every unit plugged in was taken, except at most the last one, which
      // came after the count was reached.
      EXPECT_GE(logged, 1);
      EXPECT_TRUE(logged == plugged || logged == plugged - 1) << logged << " of " << plugged;
      for (int n = 1; n <= logged; ++n)
        EXPECT_EQ(got[static_cast<std::size_t>(n - 1)],
                  serials ? sim::SimOperator::Serial(k, n) : std::string());
    }
    EXPECT_EQ(total, 12);
  }
}

INSTANTIATE_TEST_SUITE_P(Serials, StationOperatorTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithSerials" : "NoSerials"; });

// The hub's keyboards as a kernel removes them: one interface after the
// other. A keyboard's last interface stays listed, its removal event held
// back, for `lingerMs` after the others went (less than the keyboard takes
// to come back, as on a real bus).
class OneAtATime : public HidBackend {
 public:
  OneAtATime(sim::SimHub& hub, DeviceEventQueue& events, int lingerMs)
      : hub_(hub), events_(events), lingerMs_(lingerMs) {
    hub_.SetEventCallback([this](const DeviceEvent& e) { Feed(e); });
  }
  ~OneAtATime() override { hub_.SetEventCallback({}); }

  HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override {
    HidResult r = hub_.Enumerate(out);
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = lingering_.begin(); it != lingering_.end();) {
      if (now < it->second.until) {
        out.push_back(it->second.info);
        ++it;
      } else {
        events_.Push({DeviceEvent::Kind::Removal, true, it->first});
        it = lingering_.erase(it);
      }
    }
    last_ = out;
    return r;
  }
  // A lingering node opens, as a hidraw node does until its removal; its
  // reports fail.
  HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) override {
    {
      std::lock_guard lock(mutex_);
      if (lingering_.count(path)) {
        out = std::make_unique<Gone>();
        return HidResult::Ok();
      }
    }
    return hub_.Open(path, out);
  }

 private:
  struct Gone : HidDevice {
    HidResult SetFeature(std::span<const std::uint8_t>) override {
      return HidResult::Fail("device gone");
    }
    HidResult GetFeature(std::span<std::uint8_t>, std::size_t& received) override {
      received = 0;
      return HidResult::Fail("device gone");
    }
  };
  struct Linger {
    HidInterfaceInfo info;
    std::chrono::steady_clock::time_point until;
  };
  void Feed(const DeviceEvent& e) {
    std::lock_guard lock(mutex_);
    if (e.kind == DeviceEvent::Kind::Removal) {
      // The last interface the listing showed at its location lingers.
      const HidInterfaceInfo* lastHere = nullptr;
      std::string location;
      for (const auto& i : last_)
        if (i.path == e.path) location = i.location;
      for (const auto& i : last_)
        if (!location.empty() && i.location == location) lastHere = &i;
      if (lastHere && lastHere->path == e.path) {
        lingering_[e.path] = {
            *lastHere, std::chrono::steady_clock::now() + std::chrono::milliseconds(lingerMs_)};
        return;
      }
    }
    events_.Push(e);
  }

  sim::SimHub& hub_;
  DeviceEventQueue& events_;
  int lingerMs_;
  std::mutex mutex_;
  std::vector<HidInterfaceInfo> last_;
  std::map<DevicePath, Linger> lingering_;
};

// A keyboard whose interfaces leave one at a time (as on a USB stack) is
// one unit: the interface still listed while it goes is neither the unit
// back after its restart nor a new unit after the operator pulled it.
TEST(StationTest, InterfacesLeavingOneAtATimeAreStillTheSameUnit) {
  TempDir dir;
  sim::SimBusOptions bus;
  bus.reenumerateDelayMs = 300;
  Station station(2, bus);
  OneAtATime hid(station.hub, station.events, 100);
  station.hid = &hid;
  std::unique_ptr<ResultsLog> log;
  ASSERT_TRUE(ResultsLog::Open((dir.path / "r.csv").string(), "FW.hex", "00", log));
  sim::OperatorTiming timing = QuickOperator(true);
  timing.plugAfterMs = 300;
  sim::SimOperator op(station.hub, timing);
  Watcher watcher(&op);
  station.Run(&watcher, {{}, 6}, log.get());
  EXPECT_EQ(watcher.last.passed, 6);
  EXPECT_EQ(watcher.last.failed, 0);
  std::map<std::string, std::vector<std::string>> serialsAt;
  for (const auto& r : Records(dir.path / "r.csv")) serialsAt[r[kLocation]].push_back(r[kSerial]);
  for (int k = 1; k <= 2; ++k) {
    const auto& got = serialsAt[sim::SimLocation(k)];
    for (std::size_t n = 0; n < got.size(); ++n)
      EXPECT_EQ(got[n], sim::SimOperator::Serial(k, static_cast<int>(n) + 1)) << k;
  }
}

// A machine busy elsewhere: every listing takes the bus as it is and then
// needs a while to finish (opening interfaces on a loaded machine), so
// keyboards leave while a listing that still shows them runs; the listing
// that follows a keyboard's leaving needs longer than the return window, so
// the keyboard's return is listed only by the listing after. Interfaces
// leave last-first with gaps between them and come back on freed hidraw
// nodes, as on a kernel. Each device event is timed where it happens: the
// restart is short by its events, a keyboard that left during a listing is
// not taken from it, and each unit is updated once.
class SlowListing : public HidBackend {
  // A simulated path is new at every arrival: the interface's instance.
  static std::string Narrow(const DevicePath& sim) { return {sim.begin(), sim.end()}; }

 public:
  SlowListing(sim::SimHub& hub, DeviceEventQueue& events, int everyMs, int slowMs, int gapMs = 0,
              bool staleRestart = false)
      : hub_(hub), everyMs_(everyMs), slowMs_(slowMs), gapMs_(gapMs), staleRestart_(staleRestart) {
    hub_.SetEventCallback([this, &events](const DeviceEvent& e) { Feed(e, events); });
  }
  ~SlowListing() override { hub_.SetEventCallback({}); }
  HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override {
    {
      // The listing that read the bus before a restart: it ends once the
      // run has ended and the keyboard's first interface is back.
      std::unique_lock lock(mutex_);
      if (stale_) {
        released_.wait_for(lock, std::chrono::seconds(5), [&] { return ended_ && back_; });
        out = *stale_;
        stale_.reset();
        return HidResult::Ok();
      }
    }
    HidResult r = hub_.Enumerate(out);
    {
      std::lock_guard lock(mutex_);
      std::erase_if(out, [&](const HidInterfaceInfo& i) { return hidden_.count(i.path) != 0; });
      for (auto& i : out) {
        i.instance = Narrow(i.path);
        i.path = Node(i.path);
        info_[i.path] = i;
      }
      // A node whose removal has not come yet is still listed.
      for (const auto& [sim, node] : nodes_) {
        const DevicePath& n = node;  // clang 14 captures no structured binding
        const bool listed = std::any_of(out.begin(), out.end(),
                                        [&](const HidInterfaceInfo& i) { return i.path == n; });
        if (!listed && info_.count(node)) out.push_back(info_[node]);
      }
      listed_ = out;
    }
    const int ms = slowNext_.exchange(false) ? slowMs_ : everyMs_;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return r;
  }
  // What the last listing showed opens, as a hidraw node opened before its
  // removal does; its reports fail.
  HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) override {
    std::lock_guard lock(mutex_);
    for (const auto& [sim, node] : nodes_)
      if (node == path) return hub_.Open(sim, out);
    for (const auto& i : listed_)
      if (i.path == path) {
        out = std::make_unique<Gone>();
        return HidResult::Ok();
      }
    return HidResult::Fail("device gone");
  }

 private:
  struct Gone : HidDevice {
    HidResult SetFeature(std::span<const std::uint8_t>) override {
      return HidResult::Fail("device gone");
    }
    HidResult GetFeature(std::span<std::uint8_t>, std::size_t& received) override {
      received = 0;
      return HidResult::Fail("device gone");
    }
  };
  // The kernel's node of a simulated interface: /dev/hidrawN, the lowest
  // number free when it arrived, so a keyboard back after its restart gets
  // the nodes it had. mutex_ held.
  DevicePath Node(const DevicePath& sim) {
    if (auto n = nodes_.find(sim); n != nodes_.end()) return n->second;
    for (int minor = 0;; ++minor) {
      DevicePath node = L"/dev/hidraw" + std::to_wstring(minor);
      bool used = false;
      for (const auto& [other, taken] : nodes_) used = used || taken == node;
      if (!used) return nodes_[sim] = node;
    }
  }
  // A keyboard's interfaces are removed one after the other, the last one
  // first, as usbcore does: a listing may end between two of them.
  void Feed(const DeviceEvent& e, DeviceEventQueue& events) {
    if (e.kind == DeviceEvent::Kind::Arrival && gapMs_ > 0) Staggered(e.path);
    if (e.kind != DeviceEvent::Kind::Removal) {
      DeviceEvent out = e;
      out.instance = Narrow(e.path);
      {
        std::lock_guard lock(mutex_);
        out.path = Node(e.path);
        if (stale_) back_ = true;
      }
      released_.notify_all();
      events.Push(out);
      return;
    }
    // Every interface of that keyboard that has left, in the order they
    // arrived (the hub numbers them so).
    std::vector<HidInterfaceInfo> present;
    hub_.Enumerate(present);
    std::vector<DevicePath> gone;
    {
      std::lock_guard lock(mutex_);
      const DevicePath keyboard = e.path.substr(0, e.path.rfind(L"hidraw"));
      for (const auto& [sim, node] : nodes_) {
        const DevicePath& s = sim;  // clang 14 captures no structured binding
        const bool here = std::any_of(present.begin(), present.end(),
                                      [&](const HidInterfaceInfo& i) { return i.path == s; });
        if (!here && sim.compare(0, keyboard.size(), keyboard) == 0) gone.push_back(sim);
      }
    }
    auto number = [](const DevicePath& sim) {
      return std::stoi(sim.substr(sim.rfind(L"hidraw") + 6));
    };
    std::sort(gone.begin(), gone.end(),
              [&](const DevicePath& x, const DevicePath& y) { return number(x) < number(y); });
    slowNext_ = true;
    if (staleRestart_) {
      std::lock_guard lock(mutex_);
      const bool restart = std::any_of(gone.begin(), gone.end(), [&](const DevicePath& sim) {
        const auto n = nodes_.find(sim);
        return n != nodes_.end() && info_.count(n->second) &&
               info_[n->second].productId == sim::kSimUpdateProductId;
      });
      if (restart && !stale_) {
        stale_ = listed_;
        ended_ = back_ = false;
      }
    }
    auto remove = [this, &events](const DevicePath& sim) {
      DevicePath node;
      {
        std::lock_guard lock(mutex_);
        auto n = nodes_.find(sim);
        if (n == nodes_.end()) return;  // removed already
        node = n->second;
        nodes_.erase(n);  // the minor is free for the next device
      }
      DeviceEvent out{DeviceEvent::Kind::Removal, true, node};
      out.instance = Narrow(sim);
      events.Push(out);
    };
    for (auto p = gone.rbegin(); p != gone.rend(); ++p) {
      remove(*p);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

  // A keyboard's interfaces are bound one after the other, as usbhid does:
  // the first arrives at once, each other one gapMs_ after the one before,
  // and until then no listing shows it. Called on the simulator's delivery
  // thread, in the order the interfaces arrived.
  void Staggered(const DevicePath& sim) {
    std::vector<HidInterfaceInfo> present;
    hub_.Enumerate(present);
    const DevicePath keyboard = sim.substr(0, sim.rfind(L"hidraw"));
    bool wait = false;
    {
      std::lock_guard lock(mutex_);
      wait = hidden_.count(sim) != 0;
      if (!wait)
        for (const auto& i : present)
          if (i.path != sim && !nodes_.count(i.path) &&
              i.path.compare(0, keyboard.size(), keyboard) == 0)
            hidden_.insert(i.path);
    }
    if (!wait) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs_));
    std::lock_guard lock(mutex_);
    hidden_.erase(sim);
  }

  sim::SimHub& hub_;
  int everyMs_;
  int slowMs_;
  int gapMs_;
  std::set<DevicePath> hidden_;  // simulated paths not bound yet
  bool staleRestart_;
  std::optional<std::vector<HidInterfaceInfo>> stale_;
  bool ended_ = false;  // since stale_: the run has ended
  bool back_ = false;   // since stale_: an interface has arrived
  std::condition_variable released_;

 public:
  // The station showed a run ended.
  void RunEnded() {
    {
      std::lock_guard lock(mutex_);
      if (stale_) ended_ = true;
    }
    released_.notify_all();
  }

 private:
  std::atomic<bool> slowNext_{false};
  std::mutex mutex_;
  std::vector<HidInterfaceInfo> listed_;
  std::map<DevicePath, HidInterfaceInfo>
      info_;                                // by node, as last listed    // with kernel node paths
  std::map<DevicePath, DevicePath> nodes_;  // simulated path -> node
};

struct SlowCase {
  const char* name;
  int everyMs;        // every listing after its snapshot
  int afterLeaveMs;   // the listing after a leaving, instead
  int unplugAfterMs;  // the operator, after "done, unplug"
  int gapMs = 0;      // between a keyboard's interfaces arriving
  bool staleRestart = false;  // the listing over each restart after Finish is from before it
};
class SlowListingTest : public ::testing::TestWithParam<SlowCase> {};

TEST_P(SlowListingTest, EveryUnitOnceAndNoneFromAStaleListing) {
  TempDir dir;
  sim::SimBusOptions bus;
  bus.reenumerateDelayMs = 100;  // restarts 100 ms
  Station station(2, bus);
  SlowListing hid(station.hub, station.events, GetParam().everyMs, GetParam().afterLeaveMs,
                  GetParam().gapMs, GetParam().staleRestart);
  station.hid = &hid;
  std::unique_ptr<ResultsLog> log;
  ASSERT_TRUE(ResultsLog::Open((dir.path / "r.csv").string(), "FW.hex", "00", log));
  sim::OperatorTiming timing = QuickOperator(false);  // no serials: the times decide
  timing.unplugAfterMs = GetParam().unplugAfterMs;
  timing.plugAfterMs = 700;
  sim::SimOperator op(station.hub, timing);
  Watcher watcher(&op);
  watcher.onSlot = [&hid](const std::string&, const std::string& state) {
    if (state == "finished") hid.RunEnded();
  };
  StationConfig config{{}, 4};
  config.returnWindowMs = 500;
  station.Run(&watcher, config, log.get());
  EXPECT_EQ(watcher.last.passed, 4);
  EXPECT_EQ(watcher.last.failed, 0)
      << ReadFile(dir.path / "r.csv");  // none started on a keyboard that had left
  int total = 0;
  for (int k = 1; k <= 2; ++k) {
    int logged = 0;
    for (const auto& r : Records(dir.path / "r.csv")) logged += r[kLocation] == sim::SimLocation(k);
    // Updated once each: never more rows than units plugged in there.
    EXPECT_LE(logged, op.UnitsPlugged(k)) << sim::SimLocation(k);
    total += logged;
  }
  EXPECT_EQ(total, 4);
}

INSTANTIATE_TEST_SUITE_P(Busy, SlowListingTest,
                         ::testing::Values(
                             // The listing after a restart's leaving outlasts the return window.
                             SlowCase{"RestartListedLate", 0, 900, 20},
                             // The operator pulls units while listings run.
                             SlowCase{"PulledDuringAListing", 150, 150, 150},
                             // A listing that began before a restart ends after the
                             // keyboard left and its first interface is back on a
                             // freed node; the next listing shows that interface alone.
                             SlowCase{"RestartDuringAListing", 0, 0, 150, 1500, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A fault at one place hits each of its units, and only those.
TEST(StationTest, AFaultAtOnePlaceFailsItsUnitsOnly) {
  TempDir dir;
  Station station(3);
  sim::SimFaults fault;
  fault.failOnce = 1;  // the Begin command
  station.hub.Keyboard(2).SetFaults(fault);
  std::unique_ptr<ResultsLog> log;
  ASSERT_TRUE(ResultsLog::Open((dir.path / "r.csv").string(), "FW.hex", "00", log));
  sim::SimOperator op(station.hub, QuickOperator(true));
  Watcher watcher(&op);
  station.Run(&watcher, {{}, 6}, log.get());
  int failed = 0;
  for (const auto& r : Records(dir.path / "r.csv")) {
    if (r[kResult] == "result") continue;
    const bool atFault = r[kLocation] == "sim-2";
    EXPECT_EQ(r[kResult], atFault ? "FAIL" : "PASS") << r[kLocation];
    if (atFault) {
      ++failed;
      EXPECT_NE(r[kReason].find("begin command"), std::string::npos) << r[kReason];
      EXPECT_TRUE(r[kCounter].empty());
    }
  }
  EXPECT_GE(failed, 1);
  EXPECT_EQ(watcher.last.failed, failed);
  EXPECT_EQ(watcher.last.passed + watcher.last.failed, 6);
}

// Stopping during runs: no new unit, the runs in progress finish or, when
// the wait runs out or an abort comes, end as FAIL "interrupted".
struct StopCase {
  const char* name;
  bool abort;
  unsigned graceMs;
  const char* result;
  const char* reason;
};

class StationStopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(StationStopTest, RunsInProgressEndAsTheyMay) {
  const StopCase& c = GetParam();
  TempDir dir;
  sim::SimBusOptions slow = Station::FastBus();
  slow.latency = [](std::size_t) { return std::chrono::microseconds(20000); };  // ~0.6 s a run
  Station station(3, slow);
  std::unique_ptr<ResultsLog> log;
  ASSERT_TRUE(ResultsLog::Open((dir.path / "r.csv").string(), "FW.hex", "00", log));
  Watcher watcher(nullptr);
  std::atomic<bool> asked{false};
  watcher.onProgress = [&] {
    // Once every place runs, as a SIGINT (and a second one) would.
    if (watcher.last.running == 3 && !asked.exchange(true)) {
      station.runner->RequestStop();
      if (c.abort) station.runner->RequestAbort();
    }
  };
  const auto began = std::chrono::steady_clock::now();
  station.Run(&watcher, {}, log.get(), c.graceMs);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
  const auto records = Records(dir.path / "r.csv");
  ASSERT_EQ(records.size(), 4u);  // the three units in progress, nothing more
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_EQ(records[i][kResult], c.result);
    EXPECT_EQ(records[i][kReason], c.reason);
  }
  EXPECT_EQ(station.runner->Aborted(), std::string(c.result) == "FAIL");
}

INSTANTIATE_TEST_SUITE_P(
    Stops, StationStopTest,
    ::testing::Values(StopCase{"StopLetsRunsFinish", false, 60000, "PASS", ""},
                      StopCase{"SecondInterruptCancels", true, 60000, "FAIL", "interrupted"},
                      StopCase{"WaitRunsOut", false, 50, "FAIL", "interrupted"}),
    [](const auto& info) { return std::string(info.param.name); });

// A unit that cannot be recorded is not shown finished as if it were: the
// station stops and says so.
TEST(StationTest, ARecordThatFailsStopsTheStation) {
  struct Refusing : UnitRecorder {
    HidResult Record(const StationUnitResult&) override { return HidResult::Fail("disk full"); }
  } refusing;
  Station station(2);
  Watcher watcher(nullptr);
  station.Run(&watcher, {}, &refusing);
  EXPECT_TRUE(station.runner->RecordFailed());
  EXPECT_FALSE(watcher.last.taking);
  // Units not on the disk are neither passed nor failed, and say so.
  EXPECT_EQ(watcher.last.passed + watcher.last.failed, 0);
  ASSERT_FALSE(watcher.ended.empty());
  for (const StationUnitResult& r : watcher.ended) EXPECT_FALSE(r.recorded) << r.location;
  for (const StationTile& tile : watcher.last.tiles)
    if (tile.slot.unit > 0) {
      EXPECT_FALSE(tile.slot.recorded) << tile.slot.location;
    }
}

TEST(ResultsLogTest, CsvFieldsQuoteAsRfc4180) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "plain"},
      {"", ""},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {"cr\r", "\"cr\r\""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(CsvField(in), out) << in;
}

// The local time and its offset name the same moment: local time minus the
// offset is the UTC time, on every system (Windows' C library has no
// numeric %z), across a year of days and at both ends of a day.
TEST(ResultsLogTest, IsoTimeHasTheUtcOffset) {
  const auto now = std::chrono::system_clock::now();
  for (int hours = 0; hours < 24 * 366; hours += 7) {
    const auto when = now + std::chrono::hours(hours);
    const std::string t = IsoTime(when);
    ASSERT_EQ(t.size(), 25u) << t;  // 2026-12-10T14:05:09+01:00
    ASSERT_EQ(t[10], 'T');
    ASSERT_TRUE(t[19] == '+' || t[19] == '-') << t;
    ASSERT_EQ(t[22], ':');
    std::tm local{}, utc{};
    ASSERT_TRUE(LocalAndUtcTime(std::chrono::system_clock::to_time_t(when), local, utc));
    const int sign = t[19] == '-' ? -1 : 1;
    const int offset = sign * (std::stoi(t.substr(20, 2)) * 60 + std::stoi(t.substr(23, 2)));
    // Minutes of the day, local minus offset, against UTC's (mod one day).
    const int shown = std::stoi(t.substr(11, 2)) * 60 + std::stoi(t.substr(14, 2));
    EXPECT_EQ(((shown - offset) % 1440 + 1440) % 1440, utc.tm_hour * 60 + utc.tm_min) << t;
    EXPECT_EQ(std::stoi(t.substr(0, 4)), local.tm_year + 1900) << t;
  }
}

// A second station on the same log is refused while the first has it open,
// before it writes a byte (two stations starting at once on a new log never
// both write the header); once the first closes, the log is free again.
TEST(ResultsLogTest, ASecondStationOnTheSameLogIsRefused) {
  TempDir dir;
  const fs::path path = dir.path / "r.csv";
  std::unique_ptr<ResultsLog> first;
  ASSERT_TRUE(ResultsLog::Open(path.string(), "FW.hex", "ab", first));
  const std::string before = ReadFile(path);
  std::unique_ptr<ResultsLog> second;
  const HidResult refused = ResultsLog::Open(path.string(), "FW.hex", "ab", second);
  EXPECT_FALSE(refused);
  EXPECT_NE(refused.error.find("another station"), std::string::npos) << refused.error;
  EXPECT_EQ(ReadFile(path), before);
  // Readers still read every line while the station holds the lock.
  StationUnitResult unit;
  unit.location = "sim-1";
  ASSERT_TRUE(first->Record(unit));
  EXPECT_EQ(Records(path).size(), 2u);
  first.reset();
  EXPECT_TRUE(ResultsLog::Open(path.string(), "FW.hex", "ab", second));
}

TEST(ResultsLogTest, HeaderOnlyIntoANewOrEmptyFileAndAnotherHeaderIsRefused) {
  TempDir dir;
  const fs::path path = dir.path / "r.csv";
  StationUnitResult unit;
  unit.location = "1-2.3";
  unit.reason = "verify pass attempt 10, block 6: read-back differs";
  for (int round = 0; round < 2; ++round) {
    std::unique_ptr<ResultsLog> log;
    ASSERT_TRUE(ResultsLog::Open(path.string(), "FW.hex", "ab", log));
    ASSERT_TRUE(log->Record(unit));
  }
  const std::string text = ReadFile(path);
  EXPECT_EQ(text.find(kResultsHeader), 0u);
  EXPECT_EQ(text.find(kResultsHeader, 1), std::string::npos);
  EXPECT_EQ(Records(path).size(), 3u);
  EXPECT_NE(text.find("\"verify pass attempt 10, block 6: read-back differs\","),
            std::string::npos);

  // An empty file gets the header; a file of something else is refused.
  std::ofstream(dir.path / "empty.csv").close();
  std::unique_ptr<ResultsLog> log;
  ASSERT_TRUE(ResultsLog::Open((dir.path / "empty.csv").string(), "FW.hex", "ab", log));
  EXPECT_EQ(ReadFile(dir.path / "empty.csv"), std::string(kResultsHeader) + "\r\n");
  std::ofstream(dir.path / "other.csv", std::ios::binary) << "time,location,result\n";
  const HidResult refused = ResultsLog::Open((dir.path / "other.csv").string(), "F", "ab", log);
  EXPECT_FALSE(refused);
  EXPECT_NE(refused.error.find("header"), std::string::npos) << refused.error;
  EXPECT_EQ(ReadFile(dir.path / "other.csv"), "time,location,result\n");  // untouched
}

// A log from either system (CR LF or LF line ends) is appended to as it is;
// a line cut short by a power cut is ended before the next record, so the
// new record is a line of its own.
TEST(ResultsLogTest, EitherLineEndIsReadAndALastLineCutShortIsEndedFirst) {
  const std::string header = kResultsHeader;
  const std::string line = "2026-12-10T10:00:00+00:00,sim-1,,PASS,1,F,ab,1,";
  const std::pair<const char*, std::string> cases[] = {
      {"crlf", header + "\r\n" + line + "\r\n"},
      {"lf", header + "\n" + line + "\n"},
      {"cut short", header + "\r\n2026-12-10T10:00:00+00:00,sim-1,"},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    TempDir dir;
    const fs::path path = dir.path / "r.csv";
    std::ofstream(path, std::ios::binary) << text;
    std::unique_ptr<ResultsLog> log;
    ASSERT_TRUE(ResultsLog::Open(path.string(), "FW.hex", "ab", log));
    StationUnitResult unit;
    unit.location = "sim-2";
    unit.pass = true;
    ASSERT_TRUE(log->Record(unit));
    const auto records = Records(path);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2][kLocation], "sim-2");
    EXPECT_EQ(records[2].size(), 10u);
    EXPECT_EQ(ReadFile(path).substr(text.size()).back(), '\n');
  }
}

TEST(ResultsLogTest, Sha256OfKnownInput) {
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(Sha256Hex(abc, 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Each system makes the ids itself (libuuid, CNG): a row read back on
// either gets the same content id, and new ids are random version 4 ones.
TEST(ResultsLogTest, UnitIdsAreTheSameOnEverySystem) {
  EXPECT_EQ(ContentUnitId({"a", "b"}), "b6507792-8ab4-5457-86f1-7896b68fe025");
  const std::string first = NewUnitId(), second = NewUnitId();
  EXPECT_TRUE(IsUnitId(first)) << first;
  EXPECT_EQ(first[14], '4');
  EXPECT_NE(std::string("89ab").find(first[19]), std::string::npos) << first;
  EXPECT_NE(first, second);
}

}  // namespace
}  // namespace kbt::test
