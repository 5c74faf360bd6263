// Units per hour of the production-line station against the dialog's cycle,
// with the same operator: a finished unit is swapped for a new one in 2 s
// (1 s to unplug it, 1 s until the next is plugged in). Real waits, the
// full-speed USB latency model and a 300 ms re-enumeration on every
// simulated keyboard.
//   - station: eight places, then 64, one session each as units arrive;
//     the 64 places' units per hour against the eight's (8.0 when every
//     place is kept as busy as one of eight);
//   - dialog: one keyboard at a time through the dialog's own discovery
//     (the Enter-update-mode pair, the ready delay) and Update worker, the
//     Start click taken as instant.
// Prints both figures and their ratio; never fails on a time.
//   bench_station [ROUNDS [PLACES...]]   units per place (station) and units
//                                        (dialog), default 3; places, default 8 64
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/device_events.h"
#include "device/update_counter.h"
#include "dialog/dialog_state.h"
#include "dialog/discovery.h"
#include "dialog/update_worker.h"
#include "image/firmware_image.h"
#include "sim/sim_hub.h"
#include "sim/sim_operator.h"
#include "station/station_runner.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kUnplugMs = 1000;
constexpr unsigned kPlugMs = 1000;

kbt::sim::SimBusOptions Bus() {
  kbt::sim::SimBusOptions o;
  o.reenumerateDelayMs = 300;
  o.latency = kbt::sim::FullSpeedUsbLatency;
  return o;
}

std::vector<std::uint8_t> Image() {
  std::vector<std::uint8_t> image(kbt::kImageSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 13 + 5);
  return image;
}

class OperatorSink : public kbt::StationSink {
 public:
  explicit OperatorSink(kbt::sim::SimOperator& op) : op_(op) {}
  void Update(const kbt::StationStatus& status, const kbt::StationEvent& e) override {
    if (e.kind == kbt::StationEvent::Kind::Done) op_.UnitDone(e.location);
    if (e.kind == kbt::StationEvent::Kind::Ended && !e.result->pass) {
      std::fprintf(stderr, "bench: a station unit failed: %s\n", e.result->reason.c_str());
      std::exit(1);
    }
    (void)status;
  }

 private:
  kbt::sim::SimOperator& op_;
};

double StationUnitsPerHour(int places, int rounds, int& units) {
  const std::vector<std::uint8_t> image = Image();
  kbt::DeviceEventQueue events;
  kbt::sim::SimHub hub(places, kbt::sim::SimMode::Normal, Bus());
  hub.SetEventCallback([&events](const kbt::DeviceEvent& e) { events.Push(e); });
  kbt::sim::OperatorTiming timing;
  timing.unplugAfterMs = kUnplugMs;
  timing.plugAfterMs = kPlugMs;
  timing.staggerMs = 0;
  kbt::sim::SimOperator op(hub, timing);
  OperatorSink sink(op);
  kbt::UpdateCounter counter;
  kbt::StationRunnerOptions options;
  options.rules.count = places * rounds;
  kbt::StationRunner runner(hub, &events, image.data(), counter.Source(), nullptr, &sink, options);
  const auto start = Clock::now();
  runner.Run();
  const double hours = std::chrono::duration<double>(Clock::now() - start).count() / 3600.0;
  const kbt::StationStatus status = runner.Status();
  units = status.passed + status.failed;
  return units / hours;
}

// The dialog's cycle: a unit plugged in, discovery switches it and finds it
// in update mode (with the ready delay), Start, the run, the 2 s swap.
double DialogUnitsPerHour(int units) {
  const std::vector<std::uint8_t> image = Image();
  kbt::UpdateCounter counter;
  kbt::DialogState dialog(counter);
  std::copy(image.begin(), image.end(), dialog.imageBuffer.get());
  kbt::DeviceEventQueue events;
  kbt::sim::SimBus bus(kbt::sim::SimMode::Normal, Bus());
  bus.SetEventCallback([&events](const kbt::DeviceEvent& e) { events.Push(e); });
  const auto start = Clock::now();
  for (int n = 1; n <= units; ++n) {
    bus.PlugInNewUnit({});
    dialog.deviceReady = false;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (;;) {
      kbt::DiscoveryWorker(dialog, bus);
      if (dialog.deviceReady) break;
      kbt::DeviceEvent e;
      while (!events.WaitEvent(e, 100) && Clock::now() < deadline) {
      }
      if (Clock::now() >= deadline) {
        std::fprintf(stderr, "bench: the dialog never found unit %d\n", n);
        std::exit(1);
      }
      dialog.bootEntryHold = false;
    }
    dialog.updateBusy = true;
    if (kbt::UpdateWorker(dialog, bus) != 0) {
      std::fprintf(stderr, "bench: a dialog run failed\n");
      std::exit(1);
    }
    // The operator sees the colour, unplugs, and plugs the next one in.
    std::this_thread::sleep_for(std::chrono::milliseconds(kUnplugMs));
    bus.Unplug();
    std::this_thread::sleep_for(std::chrono::milliseconds(kPlugMs));
    events.Clear();
  }
  const double hours = std::chrono::duration<double>(Clock::now() - start).count() / 3600.0;
  return units / hours;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  // The dialog's worker writes DLog.txt into the current folder.
  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("bench-station-" + std::to_string(::getpid()));
  std::filesystem::create_directories(work);
  std::filesystem::current_path(work);

  std::vector<int> placeCounts;
  for (int i = 2; i < argc; ++i) placeCounts.push_back(std::max(1, std::atoi(argv[i])));
  if (placeCounts.empty()) placeCounts = {8, 64};

  double station = 0;  // at the first count of places
  for (const int places : placeCounts) {
    int units = 0;
    const double perHour = StationUnitsPerHour(places, rounds, units);
    if (station == 0) station = perHour;
    std::printf("station, %2d places, 2 s swap:  %8.1f units/hour (%d units), %6.1f per place",
                places, perHour, units, perHour / places);
    if (places != placeCounts.front())
      std::printf("; %.2fx the %d places' (%.2f: every place as busy)", perHour / station,
                  placeCounts.front(), static_cast<double>(places) / placeCounts.front());
    std::printf("\n");
    std::fflush(stdout);
  }
  const double dialog = DialogUnitsPerHour(rounds);
  std::printf("dialog, one at a time, 2 s swap: %8.1f units/hour (%d units)\n", dialog, rounds);
  std::printf("ratio station (%d places)/dialog: %7.2f\n", placeCounts.front(), station / dialog);
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  std::filesystem::remove_all(work);
  return 0;
}
