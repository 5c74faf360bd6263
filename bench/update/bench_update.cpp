// Wall time of whole Update runs against the simulated keyboard, with the
// program's real waits, divided by the 2540 ms of fixed waits that a run
// without repetitions makes: what the run costs beyond its waits. Goal for
// the keyboard without latency: at most 1.01. The second figure adds a
// full-speed USB latency model to every report.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "device/device_state.h"
#include "device/update_run.h"
#include "device/workers.h"
#include "image/firmware_image.h"
#include "sim/sim_bus.h"
#include "ui/status_outputs.h"

namespace {

constexpr double kFixedWaitsMs = 2540.0;

double RunOnceMs(const kbt::sim::SimBusOptions& options) {
  kbt::sim::SimBus bus(kbt::sim::SimMode::Update, options);
  if (kbt::DeviceDiscovery(bus) != 1) {
    std::fprintf(stderr, "bench: the simulated keyboard was not found\n");
    std::exit(1);
  }
  kbt::g_ProgressStep = 1;
  const auto start = std::chrono::steady_clock::now();
  const int result = kbt::UpdateRun(bus);
  const auto end = std::chrono::steady_clock::now();
  if (result != 0) {
    std::fprintf(stderr, "bench: the update run failed\n");
    std::exit(1);
  }
  return std::chrono::duration<double, std::milli>(end - start).count();
}

void Report(const char* name, const kbt::sim::SimBusOptions& options, int runs) {
  double best = 1e18, total = 0;
  for (int i = 0; i < runs; ++i) {
    const double ms = RunOnceMs(options);
    best = std::min(best, ms);
    total += ms;
  }
  std::printf("%-28s runs %d  mean %8.1f ms  best %8.1f ms  ratio (mean / 2540 ms) %.4f\n", name,
              runs, total / runs, best, total / runs / kFixedWaitsMs);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  for (std::size_t i = 0; i < kbt::kImageSize; ++i)
    kbt::g_ImageBuffer[i] = static_cast<std::uint8_t>(i * 13 + 1);
  Report("no latency", {}, runs);
  Report("full-speed USB latency", {.latency = kbt::sim::FullSpeedUsbLatency}, runs);
  return 0;
}
