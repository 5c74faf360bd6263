// Wall time of whole Update runs against the simulated keyboard, with the
// program's real waits, divided by the 2540 ms of fixed waits that a run
// without repetitions makes: what the run costs beyond its waits. Goal for
// the keyboard without latency: at most 1.01. The second figure adds a
// full-speed USB latency model to every report. Then 1, 2, 4 and 8
// keyboards at once, one session each on its own thread, with the latency
// model: the waits overlap, so the goal at 8 is at most 1.05.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <functional>
#include <vector>

#include <algorithm>

#include "device/keyboards.h"
#include "device/session.h"
#include "device/session_runner.h"
#include "device/update_counter.h"
#include "dialog/dialog_state.h"
#include "dialog/discovery.h"
#include "dialog/update_run.h"
#include "image/firmware_image.h"
#include "sim/sim_bus.h"
#include "sim/sim_hub.h"

namespace {

constexpr double kFixedWaitsMs = 2540.0;

// The program's update counter and the image every run writes.
kbt::UpdateCounter counter;
std::vector<std::uint8_t> image(kbt::kImageSize);

double RunOnceMs(const kbt::sim::SimBusOptions& options) {
  kbt::sim::SimBus bus(kbt::sim::SimMode::Update, options);
  kbt::DialogState dialog(counter);
  std::copy(image.begin(), image.end(), dialog.imageBuffer.get());
  if (kbt::DeviceDiscovery(dialog, bus) != 1) {
    std::fprintf(stderr, "bench: the simulated keyboard was not found\n");
    std::exit(1);
  }
  const auto start = std::chrono::steady_clock::now();
  const int result = kbt::UpdateRun(dialog, bus);
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

// All keyboards of a hub at once; the wall time of the slowest.
double RunKeyboardsMs(int keyboards) {
  kbt::sim::SimHub hub(keyboards, kbt::sim::SimMode::Update,
                       {.latency = kbt::sim::FullSpeedUsbLatency});
  std::vector<kbt::InterfaceProbe> probes;
  (void)kbt::ProbeInterfaces(hub, probes);
  const kbt::KeyboardList list = kbt::FindKeyboards(probes);
  if (static_cast<int>(list.keyboards.size()) != keyboards) {
    std::fprintf(stderr, "bench: %d simulated keyboards, %zu found\n", keyboards,
                 list.keyboards.size());
    std::exit(1);
  }
  std::atomic<int> failed{0};
  std::vector<std::function<void()>> jobs;
  for (const kbt::Keyboard& k : list.keyboards) {
    jobs.push_back([&hub, &failed, k] {
      kbt::UpdateSession session(hub, {k.data, k.command, k.location}, image.data(), nullptr,
                                 counter.Source());
      if (session.Run() != kbt::kUpdateRunOk) ++failed;
    });
  }
  const auto start = std::chrono::steady_clock::now();
  kbt::RunConcurrently(std::move(jobs));
  const auto end = std::chrono::steady_clock::now();
  if (failed) {
    std::fprintf(stderr, "bench: %d of %d runs failed\n", failed.load(), keyboards);
    std::exit(1);
  }
  return std::chrono::duration<double, std::milli>(end - start).count();
}

void ReportKeyboards(int keyboards, int runs) {
  double total = 0;
  for (int i = 0; i < runs; ++i) total += RunKeyboardsMs(keyboards);
  std::printf("%d keyboard%s at once, USB latency  runs %d  mean %8.1f ms  ratio (wall / 2540 ms) %.4f\n",
              keyboards, keyboards == 1 ? " " : "s", runs, total / runs,
              total / runs / kFixedWaitsMs);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  for (std::size_t i = 0; i < kbt::kImageSize; ++i)
    image[i] = static_cast<std::uint8_t>(i * 13 + 1);
  Report("no latency", {}, runs);
  Report("full-speed USB latency", {.latency = kbt::sim::FullSpeedUsbLatency}, runs);
  for (const int keyboards : {1, 2, 4, 8}) ReportKeyboards(keyboards, runs);
  return 0;
}
