// Many keyboards at once, as the command line updates them: the whole
// `kbupdate flash --simulate --sim-keyboards N --all FW.hex` process for
// N = 1, 8, 16, 32 and 64, its simulated keyboards on the full-speed USB
// latency model with a 300 ms re-enumeration. Two starts:
//   - normal operation: the Enter-update-mode pair, the way back, the
//     settling time, then the updates;
//   - update mode (a flash with no application, --sim-memory): the
//     settling time, then the updates.
// For each: the wall time (mean of the runs), its ratio to N = 1 of the same
// start, the peak resident memory (the child's ru_maxrss; spawned without a
// copy of this process, so the figure is kbupdate's alone) and the CPU time.
// Goal at N = 64: a ratio of at most 1.05 and at most 32 MiB. Never fails on
// a figure, only when a run fails.
//   bench_keyboards [RUNS [KBUPDATE [FW.hex]]]   (default 1 run, the built kbupdate)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kImageSize = 0x3800;

struct Run {
  bool ok = false;
  double wallS = 0;
  double cpuS = 0;
  double peakMiB = 0;
};

// One kbupdate run in `dir`, its output thrown away.
Run RunKbupdate(const std::vector<std::string>& argv, const fs::path& dir) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());  // DLog.txt goes there
  const auto t0 = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  Run run;
  if (spawned != 0) return run;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return run;
  run.wallS = std::chrono::duration<double>(Clock::now() - t0).count();
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.cpuS = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
  const std::string kbupdate = argc > 2 ? argv[2] : KB_KBUPDATE;
  const std::string firmware = argc > 3 ? argv[3] : KB_SOURCE_DIR "/res/demo/firmware.hex";

  const fs::path work = fs::temp_directory_path() / ("bench-keyboards-" + std::to_string(getpid()));
  fs::create_directories(work);
  fs::copy_file(firmware, work / "fw.hex", fs::copy_options::overwrite_existing);
  {
    // A flash without an application (byte 0 is 00): the keyboards power on
    // in update mode.
    std::ofstream blank(work / "blank.bin", std::ios::binary);
    const std::string zeros(kImageSize, '\0');
    blank.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }

  struct Start {
    const char* name;
    std::vector<std::string> extra;
  };
  const Start starts[] = {{"normal", {}},
                          {"update", {"--sim-memory", (work / "blank.bin").string()}}};
  const int counts[] = {1, 8, 16, 32, 64};

  std::printf(
      "kbupdate flash --simulate --sim-keyboards N --all, full-speed USB latency, %d run%s\n", runs,
      runs == 1 ? "" : "s");
  std::printf("%-7s %3s | %8s %7s | %9s %6s\n", "start", "N", "wall s", "ratio", "peak MiB",
              "CPU s");
  int failures = 0;
  for (const Start& start : starts) {
    double wallOne = 0;
    for (const int n : counts) {
      double wall = 0, cpu = 0, peak = 0;
      for (int i = 0; i < runs; ++i) {
        std::vector<std::string> args = {kbupdate,          "flash",           "--simulate",
                                         "--sim-keyboards", std::to_string(n), "--all"};
        args.insert(args.end(), start.extra.begin(), start.extra.end());
        args.push_back((work / "fw.hex").string());
        const Run r = RunKbupdate(args, work);
        if (!r.ok) {
          std::fprintf(stderr, "bench: %s start, %d keyboards: the run failed\n", start.name, n);
          ++failures;
          break;
        }
        wall += r.wallS / runs;
        cpu += r.cpuS / runs;
        peak = std::max(peak, r.peakMiB);
      }
      if (n == 1) wallOne = wall;
      std::printf("%-7s %3d | %8.3f %7.4f | %9.1f %6.2f\n", start.name, n, wall,
                  wallOne > 0 ? wall / wallOne : 0.0, peak, cpu);
      std::fflush(stdout);
    }
  }
  std::printf(
      "ratio: wall time / wall time of one keyboard with the same start.\n"
      "Goal at N = 64: ratio at most 1.05, peak at most 32 MiB.\n");
  std::error_code ec;
  fs::remove_all(work, ec);
  return failures == 0 ? 0 : 1;
}
