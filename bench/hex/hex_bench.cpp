// Benchmark of HexToBin: generates a 14 KiB image file, a 2.9 MB file (a
// 1 MiB program) and a file of about 64 MiB (a 23 MiB program), in 16-byte
// records under extended linear address records, CR LF line ends; converts
// each in this process and in a child process, and runs `objcopy -I ihex -O
// binary` on the same files when it is installed. Prints times, the speed
// ratio and the peak resident memory of each child (getrusage of the
// waited-for child). On the 2.9 MB file it also counts the instructions of
// the whole `kbupdate convert` process and of objcopy's under valgrind's
// callgrind, when valgrind is installed: a count that the machine's load
// does not change. It fails on no figure.
//
//   hex_bench [WORK_FOLDER [KBUPDATE]]  (defaults: the system's temporary
//                                        folder, the kbupdate built with it)
//   hex_bench --convert FILE            (the child: one conversion, nothing printed)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/hex_to_bin.h"

namespace {

using Clock = std::chrono::steady_clock;

// Peak resident memory of this process since its exec, from the kernel's
// VmHWM line (KiB).
long OwnPeakKiB() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "VmHWM: %ld", &kib) == 1) break;
  }
  std::fclose(f);
  return kib;
}

int ConvertOnce(const char* path) {
  static std::uint8_t image[kbt::kImageSize];
  std::memset(image, 0, kbt::kImageSize);
  return kbt::HexToBin(kbt::platform::PathFromArgument(path), image).Read() ? 0 : 1;
}

void Record(std::FILE* out, unsigned address, unsigned type, const std::uint8_t* data, unsigned n) {
  unsigned sum = n + (address >> 8) + (address & 0xFF) + type;
  std::fprintf(out, ":%02X%04X%02X", n, address & 0xFFFF, type);
  for (unsigned i = 0; i < n; ++i) {
    std::fprintf(out, "%02X", data[i]);
    sum += data[i];
  }
  std::fprintf(out, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
}

// `bytes` of pseudo-random program in 16-byte records from address 0.
void Generate(const std::string& path, std::uint64_t bytes) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) {
    std::perror(path.c_str());
    std::exit(2);
  }
  std::uint32_t x = 12345;
  std::uint8_t data[16];
  for (std::uint64_t a = 0; a < bytes; a += 16) {
    if (a % 0x10000 == 0 && a > 0) {
      const std::uint8_t upper[2] = {static_cast<std::uint8_t>(a >> 24),
                                     static_cast<std::uint8_t>(a >> 16)};
      Record(out, 0, 4, upper, 2);
    }
    for (auto& b : data) {
      x = x * 1103515245u + 12345u;
      b = static_cast<std::uint8_t>(x >> 16);
    }
    Record(out, static_cast<unsigned>(a & 0xFFFF), 0, data, 16);
  }
  std::fprintf(out, ":00000001FF\r\n");
  std::fclose(out);
}

struct ChildRun {
  bool ok = false;
  double seconds = 0;
  long peakKiB = 0;
};

ChildRun RunChild(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return {};
  const auto t0 = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  ChildRun run;
  int status = 0;
  rusage usage{};
  if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
    run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    // The child's own report when it gives one; otherwise the kernel's
    // figure, which also counts the pages it shared with this process
    // between fork and exec, so it is an upper bound.
    char text[32] = {};
    const ssize_t n = read(out[0], text, sizeof text - 1);
    run.peakKiB = n > 0 ? std::atol(text) : usage.ru_maxrss;
  }
  close(out[0]);
  return run;
}

ChildRun BestOf(int runs, const std::vector<std::string>& argv) {
  ChildRun best;
  for (int i = 0; i < runs; ++i) {
    const ChildRun r = RunChild(argv);
    if (!r.ok) return r;
    if (!best.ok || r.seconds < best.seconds) best = r;
  }
  return best;
}

double InProcess(const std::string& path, int runs) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    if (ConvertOnce(path.c_str()) != 0) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

bool HaveObjcopy() {
  return std::system("objcopy --version >/dev/null 2>&1") == 0;
}

bool HaveValgrind() {
  return std::system("valgrind --version >/dev/null 2>&1") == 0;
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Instructions of the whole process `argv` (the dynamic loader's work
// included), from callgrind's "Collected" line; -1 when it did not run.
double Instructions(const std::vector<std::string>& argv) {
  // Appended piece by piece: `" " + std::string` trips GCC 12's
  // -Wrestrict false alarm at -O3.
  std::string command = "valgrind --tool=callgrind --callgrind-out-file=/dev/null";
  for (const std::string& a : argv) command.append(" ").append(Quoted(a));
  command.append(" 2>&1 >/dev/null");
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  char line[512];
  double collected = -1;
  while (std::fgets(line, sizeof line, pipe)) {
    if (const char* at = std::strstr(line, "Collected :")) collected = std::atof(at + 11);
  }
  return pclose(pipe) == 0 ? collected : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--convert") == 0) {
    const int status = ConvertOnce(argv[2]);
    std::printf("%ld\n", OwnPeakKiB());
    return status;
  }

  namespace fs = std::filesystem;
  const fs::path work = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "kbt-hex-bench";
  fs::create_directories(work);
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string kbupdate = argc > 2 ? argv[2] : KB_KBUPDATE;
  const bool objcopy = HaveObjcopy();
  const bool valgrind = HaveValgrind();

  struct Input {
    const char* name;
    std::uint64_t programBytes;
    int runs;
    bool count;  // instructions counted (callgrind runs some 50 times slower)
  };
  const Input inputs[] = {{"image-14k.hex", kbt::kImageSize, 50, false},
                          {"program-1m.hex", 1u << 20, 10, true},
                          {"large-64m.hex", 23u << 20, 3, false}};

  std::printf("%-14s %7s | %13s %10s %9s | %10s %9s | %6s | %8s %8s %6s\n", "file", "MiB",
              "in-process ms", "child ms", "peak KiB", "objcopy ms", "peak KiB", "ratio", "M instr",
              "objcopy", "ratio");
  for (const Input& in : inputs) {
    const std::string path = (work / in.name).string();
    if (!fs::exists(path)) Generate(path, in.programBytes);
    const double mib = static_cast<double>(fs::file_size(path)) / (1 << 20);
    const double inProcess = InProcess(path, in.runs);
    const ChildRun ours = BestOf(in.runs, {self, "--convert", path});
    ChildRun theirs;
    if (objcopy)
      theirs = BestOf(in.runs, {"objcopy", "-I", "ihex", "-O", "binary", path, path + ".bin"});
    std::printf("%-14s %7.2f | %13.3f %10.3f %9ld | ", in.name, mib, 1e3 * inProcess,
                1e3 * ours.seconds, ours.peakKiB);
    if (theirs.ok) {
      std::printf("%10.3f %9ld | %5.1fx | ", 1e3 * theirs.seconds, theirs.peakKiB,
                  theirs.seconds / ours.seconds);
    } else {
      std::printf("%10s %9s | %6s | ", objcopy ? "failed" : "absent", "-", "-");
    }
    const double ourCount =
        in.count && valgrind ? Instructions({kbupdate, "convert", path, path + ".img"}) : -1;
    const double theirCount =
        in.count && valgrind && objcopy
            ? Instructions({"objcopy", "-I", "ihex", "-O", "binary", path, path + ".bin"})
            : -1;
    if (ourCount > 0 && theirCount > 0) {
      std::printf("%8.1f %8.1f %5.1fx\n", ourCount / 1e6, theirCount / 1e6, theirCount / ourCount);
    } else {
      std::printf("%8s %8s %6s\n", in.count ? (valgrind ? "failed" : "absent") : "-", "-", "-");
    }
    std::error_code ec;
    fs::remove(path + ".bin", ec);
    fs::remove(path + ".img", ec);
  }
  std::printf(
      "child: HexToBin in a process of its own; its peak is its own VmHWM.\n"
      "objcopy's peak is the kernel's figure for the child (an upper bound).\n"
      "ratio: objcopy time / HexToBin child time, both as whole processes.\n"
      "M instr: the whole `kbupdate convert` process, start-up included, and objcopy's,\n"
      "under valgrind's callgrind; ratio: objcopy's count / kbupdate's.\n"
      "Goals: at least 5x in time on the large file; at least 10x fewer instructions\n"
      "than objcopy on the 1 MiB program; HexToBin peak under 4096 KiB for any size.\n");
  return 0;
}
