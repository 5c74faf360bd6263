// kbsim-usbip: simulated keyboards as USB devices on the kernel's virtual
// host controller (vhci-hcd), so that usbcore enumerates them, usbhid binds
// their interfaces, their location is a USB port path and their serial
// number a USB string, and a re-enumeration is a USB disconnect and a new
// device on the same port. Each keyboard (a unit) is the same device model
// as kbsim-uhid's, on a port of its own; the USB/IP socket to the kernel is
// one end of a socketpair, so nothing goes over a network.
//
// Usage: kbsim-usbip [UNIT OPTIONS] [--quiet] [--control FIFO]
//                    (--port N | --ports LIST) [UNIT OPTIONS] ...
// Options before the first --port or --ports apply to every unit; those
// after one apply to the unit(s) it added. %p in --serial, --trace, --dump
// and --memory stands for the unit's port number.
// --port N: a unit on vhci port N, counted from 1 over the controllers'
// USB 2.0 root hubs (with Debian's 15 ports a hub: 1-15 are the first
// controller's, bus 1 where no other USB host exists; 16-30 the second's,
// bus 3; see vhci.h). --ports LIST: one on each port of LIST, ranges and
// numbers with commas between ("1-8,16-23").
// Unit options (as kbsim-uhid's; see there for the faults):
//   --update-mode, --enum-delay-ms N (default 300), --leave-ms N (200),
//   --return-ms N (after a restart, be configured by the host again N ms
//   after leaving: the off-bus time is N less what the host's enumeration
//   took at the previous arrival; replaces --enum-delay-ms),
//   --unplug-at N --in-entry E, --replug-ms N (1000),
//   --stall-at N --stall-in-entry E (the host gives up after its 5 s),
//   --serial TEXT (the USB serial number string; default none),
//   --memory FILE (the 14336 bytes of program memory at power-on; a unit
//   whose byte 0 is 0x00 starts in update mode), --trace FILE, --dump FILE.
// --control FIFO: made (a named pipe) and read line by line:
//   unplug N                 the unit at port N is pulled out for good
//                            (its dump written)
//   plug N [UNIT OPTIONS]    a new unit is plugged in at port N
// SIGTERM or SIGINT: every unit leaves the bus, the files are written, and
// the program ends with 0. Prints "kbsim-usbip: ready" once every unit of
// the command line is attached.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/usbip/usbip_unit.h"

namespace kbt::sim::usbip {
namespace {

const auto g_start = std::chrono::steady_clock::now();
std::mutex g_logMutex;
bool g_quiet = false;

void Log(const std::string& text) {
  if (g_quiet) return;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - g_start)
                      .count();
  std::lock_guard guard(g_logMutex);
  std::fprintf(stderr, "kbsim-usbip %6lld ms: %s\n", static_cast<long long>(ms), text.c_str());
}

void Say(const std::string& text) {
  std::lock_guard guard(g_logMutex);
  std::fprintf(stderr, "kbsim-usbip: %s\n", text.c_str());
}

const char kUsage[] =
    "usage: kbsim-usbip [UNIT OPTIONS] [--quiet] [--control FIFO] (--port N | --ports LIST) "
    "[UNIT OPTIONS] ...\n"
    "unit options: [--update-mode] [--enum-delay-ms N | --return-ms N] [--leave-ms N] "
    "[--unplug-at N --in-entry E] [--replug-ms N] [--stall-at N --stall-in-entry E] "
    "[--serial TEXT] [--memory FILE] [--trace FILE] [--dump FILE]\n"
    "%p in --serial, --trace, --dump and --memory stands for the port number\n";

bool ParseInt(const std::string& text, int& out) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < 0 || v > 1000000) return false;
  out = static_cast<int>(v);
  return true;
}

// Applies one unit option at args[i] (its value at args[i + 1]) to every
// unit in `targets`; false when args[i] is none or its value is bad.
bool UnitOption(const std::vector<std::string>& args, std::size_t& i,
                const std::vector<UnitOptions*>& targets) {
  const std::string& a = args[i];
  if (a == "--update-mode") {
    for (UnitOptions* t : targets) t->updateMode = true;
    return true;
  }
  static const std::map<std::string, int UnitOptions::*> numbers = {
      {"--enum-delay-ms", &UnitOptions::enumDelayMs},   {"--leave-ms", &UnitOptions::leaveMs},
      {"--unplug-at", &UnitOptions::unplugAt},          {"--in-entry", &UnitOptions::inEntry},
      {"--replug-ms", &UnitOptions::replugMs},          {"--stall-at", &UnitOptions::stallAt},
      {"--stall-in-entry", &UnitOptions::stallInEntry}, {"--return-ms", &UnitOptions::returnMs}};
  static const std::map<std::string, std::string UnitOptions::*> texts = {
      {"--serial", &UnitOptions::serial},
      {"--memory", &UnitOptions::memoryPath},
      {"--trace", &UnitOptions::tracePath},
      {"--dump", &UnitOptions::dumpPath}};
  if (i + 1 >= args.size()) return false;
  if (const auto n = numbers.find(a); n != numbers.end()) {
    int v = 0;
    if (!ParseInt(args[i + 1], v)) return false;
    for (UnitOptions* t : targets) t->*(n->second) = v;
    ++i;
    return true;
  }
  if (const auto s = texts.find(a); s != texts.end()) {
    if (args[i + 1].empty()) return false;
    // A USB string descriptor holds 126 characters; a serial is ASCII.
    if (a == "--serial" && args[i + 1].size() > 126) return false;
    for (UnitOptions* t : targets) t->*(s->second) = args[i + 1];
    ++i;
    return true;
  }
  return false;
}

// "1-8,16-23,40": the ports, in that order; false for anything else.
bool ParsePorts(const std::string& list, std::vector<int>& out) {
  std::istringstream in(list);
  for (std::string part; std::getline(in, part, ',');) {
    const std::size_t dash = part.find('-');
    int first = 0, last = 0;
    if (dash == std::string::npos
            ? !ParseInt(part, first)
            : !ParseInt(part.substr(0, dash), first) || !ParseInt(part.substr(dash + 1), last))
      return false;
    if (dash == std::string::npos) last = first;
    if (first < 1 || last < first) return false;
    for (int p = first; p <= last; ++p) out.push_back(p);
  }
  return !out.empty();
}

std::string WithPort(std::string text, int port) {
  for (std::size_t at; (at = text.find("%p")) != std::string::npos;)
    text.replace(at, 2, std::to_string(port));
  return text;
}

UnitOptions ForPort(UnitOptions o) {
  o.serial = WithPort(o.serial, o.port);
  o.memoryPath = WithPort(o.memoryPath, o.port);
  o.tracePath = WithPort(o.tracePath, o.port);
  o.dumpPath = WithPort(o.dumpPath, o.port);
  return o;
}

// The units present, by port; plugged and unplugged by the command line
// and the control pipe.
class Units {
 public:
  bool Plug(const UnitOptions& options, std::string& error) {
    std::lock_guard guard(mutex_);
    if (units_.count(options.port)) {
      error = "port " + std::to_string(options.port) + " is taken";
      return false;
    }
    auto unit = std::make_unique<UsbipUnit>(ForPort(options), Log);
    if (!unit->Start(error)) return false;
    units_[options.port] = std::move(unit);
    return true;
  }

  bool Unplug(int port, std::string& error) {
    std::unique_ptr<UsbipUnit> unit;
    {
      std::lock_guard guard(mutex_);
      const auto at = units_.find(port);
      if (at == units_.end()) {
        error = "no unit at port " + std::to_string(port);
        return false;
      }
      unit = std::move(at->second);
      units_.erase(at);
    }
    unit->Stop();
    return true;
  }

  // Every unit leaves at once (each on a thread of its own: a detach and its
  // host's close take a moment).
  void StopAll() {
    std::map<int, std::unique_ptr<UsbipUnit>> all;
    {
      std::lock_guard guard(mutex_);
      all.swap(units_);
    }
    std::vector<std::thread> stoppers;
    for (auto& [port, unit] : all) stoppers.emplace_back([&u = *unit] { u.Stop(); });
    for (auto& t : stoppers) t.join();
  }

 private:
  std::mutex mutex_;
  std::map<int, std::unique_ptr<UsbipUnit>> units_;
};

// One control line: "unplug N" or "plug N [UNIT OPTIONS]".
void Control(const std::string& line, const UnitOptions& defaults, Units& units) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty()) return;
  int port = 0;
  std::string error;
  if (words.size() < 2 || !ParseInt(words[1], port) ||
      (words[0] != "plug" && words[0] != "unplug")) {
    Say("control: cannot read '" + line + "'");
    return;
  }
  if (words[0] == "unplug") {
    if (words.size() != 2 || !units.Unplug(port, error))
      Say("control: " + (error.empty() ? "unplug takes a port" : error));
    else
      Say("control: unplugged port " + std::to_string(port));
    return;
  }
  UnitOptions options = defaults;
  options.port = port;
  for (std::size_t i = 2; i < words.size(); ++i) {
    if (!UnitOption(words, i, {&options})) {
      Say("control: bad option '" + words[i] + "' in '" + line + "'");
      return;
    }
  }
  if (!units.Plug(options, error))
    Say("control: plug " + std::to_string(port) + ": " + error);
  else
    Say("control: plugged port " + std::to_string(port));
}

// Reads the control pipe until `stopFd` becomes readable.
void ControlLoop(int fd, int stopFd, const UnitOptions& defaults, Units& units) {
  std::string pending;
  char buffer[512];
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      Control(line, defaults, units);
    }
  }
}

}  // namespace
}  // namespace kbt::sim::usbip

int main(int argc, char** argv) {
  using namespace kbt::sim::usbip;
  const std::vector<std::string> args(argv + 1, argv + argc);
  UnitOptions defaults;
  std::vector<UnitOptions> units;
  std::vector<std::size_t> group;  // the units the last --port or --ports added
  std::string controlPath;
  auto usage = [] {
    std::fputs(kUsage, stderr);
    return 2;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--quiet") {
      g_quiet = true;
      continue;
    }
    if (a == "--control" && i + 1 < args.size() && !args[i + 1].empty()) {
      controlPath = args[++i];
      continue;
    }
    if ((a == "--port" || a == "--ports") && i + 1 < args.size()) {
      std::vector<int> ports;
      const std::string& v = args[++i];
      int one = 0;
      if (a == "--port" ? !ParseInt(v, one) || one < 1 : !ParsePorts(v, ports)) return usage();
      if (a == "--port") ports = {one};
      group.clear();
      for (const int p : ports) {
        group.push_back(units.size());
        units.push_back(defaults);
        units.back().port = p;
      }
      continue;
    }
    std::vector<UnitOptions*> targets;
    for (std::size_t u : group) targets.push_back(&units[u]);
    if (targets.empty()) targets.push_back(&defaults);
    if (!UnitOption(args, i, targets)) return usage();
  }
  if (units.empty() && controlPath.empty()) return usage();

  // SIGTERM and SIGINT are taken by one thread with sigwait; blocked here,
  // before any thread starts, so that no other thread receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Units present;
  int rc = 0;
  for (const UnitOptions& o : units) {
    std::string error;
    if (!present.Plug(o, error)) {
      Say("port " + std::to_string(o.port) + ": " + error);
      rc = 1;
      break;
    }
  }
  int controlFd = -1;
  int stopPipe[2] = {-1, -1};
  std::thread control;
  if (rc == 0 && !controlPath.empty()) {
    if ((mkfifo(controlPath.c_str(), 0600) != 0 && errno != EEXIST) ||
        (controlFd = open(controlPath.c_str(), O_RDWR | O_CLOEXEC)) < 0 ||
        pipe2(stopPipe, O_CLOEXEC) != 0) {
      Say("control pipe " + controlPath + ": " + std::strerror(errno));
      rc = 1;
    } else {
      // Opened for writing too: the pipe never reads as ended between two
      // writers.
      control = std::thread([&] { ControlLoop(controlFd, stopPipe[0], defaults, present); });
    }
  }
  if (rc == 0) {
    Say("ready");
    int received = 0;
    sigwait(&stopSignals, &received);
    Log("stops: every unit leaves the bus");
  }
  if (control.joinable()) {
    const char one = 1;
    [[maybe_unused]] const ssize_t n = write(stopPipe[1], &one, 1);
    control.join();
  }
  present.StopAll();
  if (controlFd >= 0) close(controlFd);
  return rc;
}
