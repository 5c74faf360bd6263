// kbsim-uhid: the simulated keyboard behind /dev/uhid, so that a Linux kernel
// sees it as real HID devices: one uhid device per interface (a uhid device
// with two top-level collections would get a single hidraw node), hidraw
// nodes made by hid-generic, and real uevents on every arrival and removal.
//
// The model decides; this program only moves reports and re-enumerates:
//   - every report request is answered on the reader thread of its device,
//     under one lock around the model;
//   - a device that left the bus answers nothing more: requests to the
//     interfaces of an earlier arrival fail without reaching the model;
//   - bus changes are carried out by one manager thread, which destroys the
//     old devices each on a thread of its own (a UHID_DESTROY waits while
//     a request of that device is outstanding) and, after the
//     re-enumeration delay, creates the new ones.
//
// Usage: kbsim-uhid [--enum-delay-ms N] [--unplug-at N --in-entry E]
//                   [--replug-ms N] [--leave-ms N] [--stall-at N --stall-in-entry E]
//                   [--update-mode] [--phys NAME] [--trace FILE] [--dump FILE]
//                   [--quiet]
// --unplug-at N --in-entry E: in the update session that follows the E-th
// Enter-update-mode, the device leaves the bus instead of answering report N
// (counted from the Begin command); it comes back --replug-ms later (default
// 1000), in whatever mode its program memory gives. E 0: the session of a
// device that starts in update mode (--update-mode).
// --stall-at N --stall-in-entry E: in the session after the E-th entry, the
// device does not answer report N at all (N from 2); the kernel gives up on
// it after its own 5 s.
// --leave-ms N: a device that leaves the bus by itself (after the
// Enter-update-mode pair or a Finish) disappears N ms after it answered, as
// a controller that restarts and a hub that notices it take a while
// (default 200). Much less is no real device: the kernel fails a request
// whose answer came if the device is gone before the waiting caller ran
// again.
// --update-mode: the device is in update mode at power-on (as one whose
// program byte 0 is 0x00).
// --phys NAME: the interfaces' HID_PHYS are NAME/input0, NAME/input1, ...
// as a USB keyboard's are, so that several simulated keyboards are told
// apart by their location (default NAME: kbsim-uhid).
// --trace FILE: every report that reaches the device, one line each, in the
// format of `kbupdate flash --trace`: number, interface (normal, command,
// data), set or get, ok, fail or none (never answered), the bytes in hex (a
// get: the reply, or the report ID alone when there is none).
// --dump FILE: the 14336 bytes of program memory, written after every Finish
// and at exit.
// SIGTERM or SIGINT: the devices leave the bus, the files are written, and
// the program ends with 0.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/keyboard_model.h"
#include "sim/uhid/uhid_device.h"

namespace kbt::sim {
namespace {

struct Options {
  int enumDelayMs = 300;
  int unplugAt = 0;
  int inEntry = 0;
  int replugMs = 1000;
  int leaveMs = 200;
  int stallAt = 0;
  int stallInEntry = 0;
  bool updateMode = false;
  std::string phys = "kbsim-uhid";
  std::string tracePath;
  std::string dumpPath;
  bool quiet = false;
};

const auto g_start = std::chrono::steady_clock::now();

void Log(const Options& o, const std::string& text) {
  if (o.quiet) return;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - g_start)
                      .count();
  std::fprintf(stderr, "kbsim-uhid %6lld ms: %s\n", static_cast<long long>(ms), text.c_str());
}

const char* InterfaceName(SimInterface kind) {
  switch (kind) {
    case SimInterface::NormalBoot:
      return "keyboard";
    case SimInterface::NormalVendor:
      return "keyboard vendor";
    case SimInterface::Data:
      return "update data";
    case SimInterface::Command:
      return "update command";
  }
  return "?";
}

class UhidBus {
 public:
  explicit UhidBus(Options options)
      : options_(std::move(options)),
        model_(options_.updateMode ? SimMode::Update : SimMode::Normal) {
    if (!options_.tracePath.empty()) {
      trace_ = std::fopen(options_.tracePath.c_str(), "w");
      if (!trace_)
        std::fprintf(stderr, "kbsim-uhid: cannot write %s: %s\n", options_.tracePath.c_str(),
                     std::strerror(errno));
    }
    model_.SetBusListener([this](const BusChange& change) {
      // Runs inside a model call, under mutex_: only record.
      if (change.kind == BusChange::Kind::Leave) ++generation_;
      changes_.push_back(change);
      changed_.notify_all();
    });
  }

  ~UhidBus() {
    if (trace_) std::fclose(trace_);
  }

  // Presents the device as it is at power-on, then carries out bus changes
  // until Stop().
  int Run() {
    std::unique_lock lock(mutex_);
    if (!options_.tracePath.empty() && !trace_) return 1;
    if (model_.Mode() == SimMode::Update) ArmFaults();
    if (!Present(lock)) return 1;
    std::fprintf(stderr, "kbsim-uhid: ready\n");
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !changes_.empty(); });
      if (stopping_) {
        Log(options_, "stops: leaves the bus");
        RemoveAll(lock);
        return WriteDump() ? 0 : 1;
      }
      const BusChange change = changes_.front();
      changes_.pop_front();
      if (change.kind == BusChange::Kind::Leave) {
        if (change.comesBack) {
          // The controller restarts: its interfaces stay on the bus a while,
          // answering nothing (generation_ has moved on).
          lock.unlock();
          std::this_thread::sleep_for(std::chrono::milliseconds(options_.leaveMs));
          lock.lock();
        }
        Log(options_, std::string("leaves the bus") + (change.comesBack ? "" : " (unplugged)"));
        RemoveAll(lock);
        lock.unlock();
        std::this_thread::sleep_for(
            std::chrono::milliseconds(change.comesBack ? options_.enumDelayMs : options_.replugMs));
        lock.lock();
        if (change.comesBack) {
          model_.Arrive();
        } else {
          model_.SetFaults({});  // the fault was one unplug; the replugged device is sound
          model_.PlugIn();
        }
      } else {
        if (change.mode == SimMode::Update) ArmFaults();
        if (!Present(lock)) return 1;
      }
    }
  }

  // Any thread: ends Run().
  void Stop() {
    std::lock_guard guard(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }

 private:
  struct Interface {
    SimInterface kind;
    std::unique_ptr<UhidDevice> device;
  };

  // Under mutex_, when the device is about to appear in update mode: arms
  // the faults meant for the session after this entry (entry 0: a device
  // that starts in update mode). Each is armed once: the replugged device
  // in the same session is sound.
  void ArmFaults() {
    if (options_.unplugAt > 0 && !faultArmed_ && model_.Entries() == options_.inEntry) {
      faultArmed_ = true;
      SimFaults faults;
      faults.unplugAt = options_.unplugAt;
      model_.SetFaults(faults);
      Log(options_, "armed: leave the bus at report " + std::to_string(options_.unplugAt));
    }
    if (options_.stallAt > 1 && !stallUsed_ && model_.Entries() == options_.stallInEntry) {
      stallUsed_ = true;
      stallArmed_ = true;
      // Restarts the count for the session's reports from its Begin,
      // keeping an unplug armed for the same session.
      model_.SetFaults(model_.Faults());
      Log(options_, "armed: no answer to report " + std::to_string(options_.stallAt));
    }
  }

  // Under mutex_: whether the device leaves the next report of an
  // update-mode interface unanswered (once). The model never sees it, so
  // its report count stays where it was.
  bool StallsNow(SimInterface kind) {
    if (!stallArmed_ || (kind != SimInterface::Data && kind != SimInterface::Command) ||
        model_.ReportCount() != options_.stallAt - 1)
      return false;
    stallArmed_ = false;
    Log(options_, "leaves report " + std::to_string(options_.stallAt) + " unanswered");
    return true;
  }

  // Under mutex_.
  void Trace(SimInterface kind, bool get, const char* answer, const std::uint8_t* bytes,
             std::size_t count) {
    if (!trace_) return;
    const char* name = kind == SimInterface::Data      ? "data"
                       : kind == SimInterface::Command ? "command"
                                                       : "normal";
    std::fprintf(trace_, "%u %s %s %s", ++traceCount_, name, get ? "get" : "set", answer);
    for (std::size_t i = 0; i < count; ++i) std::fprintf(trace_, " %02x", bytes[i]);
    std::fputc('\n', trace_);
    std::fflush(trace_);
  }

  // Under mutex_.
  bool WriteDump() {
    if (options_.dumpPath.empty()) return true;
    const std::string temporary = options_.dumpPath + ".new";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    const auto& memory = model_.Program();
    out.write(reinterpret_cast<const char*>(memory.data()),
              static_cast<std::streamsize>(memory.size()));
    out.close();
    // Renamed into place, so that a reader never sees half a dump.
    if (!out || std::rename(temporary.c_str(), options_.dumpPath.c_str()) != 0) {
      std::fprintf(stderr, "kbsim-uhid: cannot write %s\n", options_.dumpPath.c_str());
      return false;
    }
    return true;
  }

  // Creates one uhid device per interface the model lists now.
  bool Present(std::unique_lock<std::mutex>& lock) {
    const unsigned generation = generation_;
    int number = 0;
    for (const SimInterfaceDesc& desc : model_.Interfaces()) {
      // The device left again while the previous interface was being made:
      // the queued Leave removes what is there, the rest is not made.
      if (generation != generation_) break;
      auto iface = std::make_shared<Interface>();
      iface->kind = desc.kind;
      iface->device = std::make_unique<UhidDevice>();
      UhidDeviceParams params;
      params.name = std::string("KBT simulated keyboard, ") + InterfaceName(desc.kind);
      params.phys = options_.phys + "/input" + std::to_string(number++);
      params.vendorId = desc.vendorId;
      params.productId = desc.productId;
      params.descriptor = ReportDescriptor(desc.kind);
      const SimInterface kind = desc.kind;
      const std::uint16_t length = desc.featureReportLength;
      std::string error;
      // Creating takes the kernel a while (driver binding, hidraw node);
      // requests may already come in, and they take the lock.
      lock.unlock();
      const bool ok = iface->device->Create(
          params,
          [this, kind, generation](std::span<const std::uint8_t> report) {
            std::lock_guard guard(mutex_);
            if (generation == generation_ && StallsNow(kind)) {
              Trace(kind, false, "none", report.data(), report.size());
              return UhidDevice::Answer::None;
            }
            const int finishes = model_.Finishes();
            const bool ok = generation == generation_ && model_.SetFeature(kind, report);
            Trace(kind, false, ok ? "ok" : "fail", report.data(), report.size());
            // The device's own view of an update's length: Begin accepted to
            // Finish accepted.
            if (ok && kind == SimInterface::Command && report.size() >= 2 && report[1] == 0x45)
              beginAt_ = std::chrono::steady_clock::now();
            if (model_.Finishes() != finishes) {
              const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - beginAt_)
                                  .count();
              std::fprintf(stderr, "kbsim-uhid: update took %lld ms from Begin to Finish\n",
                           static_cast<long long>(ms));
              WriteDump();
            }
            return ok ? UhidDevice::Answer::Accept : UhidDevice::Answer::Refuse;
          },
          [this, kind, generation, length](std::uint8_t id, std::vector<std::uint8_t>& reply) {
            using Answer = UhidDevice::Answer;
            if (length == 0) return Answer::Refuse;
            reply.assign(length, 0);
            reply[0] = id;
            std::size_t received = 0;
            std::lock_guard guard(mutex_);
            if (generation != generation_) {
              Trace(kind, true, "fail", &id, 1);
              return Answer::Refuse;
            }
            if (StallsNow(kind)) {
              Trace(kind, true, "none", &id, 1);
              return Answer::None;
            }
            if (!model_.GetFeature(kind, reply, received)) {
              Trace(kind, true, "fail", &id, 1);
              return Answer::Refuse;
            }
            reply.resize(received);
            Trace(kind, true, "ok", reply.data(), reply.size());
            return Answer::Accept;
          },
          error);
      lock.lock();
      if (!ok) {
        std::fprintf(stderr, "kbsim-uhid: %s\n", error.c_str());
        return false;
      }
      Log(options_, std::string("arrives: ") + InterfaceName(kind));
      present_.push_back(std::move(iface));
    }
    return true;
  }

  // Destroys every present device, each on a thread of its own, and waits
  // for all of them. The lock is released meanwhile, so that readers can
  // answer (and fail) what is outstanding.
  void RemoveAll(std::unique_lock<std::mutex>& lock) {
    std::vector<std::shared_ptr<Interface>> gone;
    gone.swap(present_);
    lock.unlock();
    std::vector<std::thread> destroyers;
    destroyers.reserve(gone.size());
    for (auto& iface : gone) destroyers.emplace_back([iface] { iface->device->Destroy(); });
    for (auto& t : destroyers) t.join();
    lock.lock();
  }

  Options options_;
  std::mutex mutex_;
  std::condition_variable changed_;
  KeyboardModel model_;
  unsigned generation_ = 0;  // one more at every Leave
  bool faultArmed_ = false;
  bool stallUsed_ = false;
  bool stallArmed_ = false;
  bool stopping_ = false;
  std::FILE* trace_ = nullptr;
  unsigned traceCount_ = 0;
  std::chrono::steady_clock::time_point beginAt_;
  std::deque<BusChange> changes_;
  std::vector<std::shared_ptr<Interface>> present_;
};

bool ParseInt(const char* text, int& out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!text[0] || *end || v < 0 || v > 1000000) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace
}  // namespace kbt::sim

int main(int argc, char** argv) {
  using kbt::sim::Options;
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    int* target = nullptr;
    if (a == "--enum-delay-ms") target = &o.enumDelayMs;
    if (a == "--unplug-at") target = &o.unplugAt;
    if (a == "--in-entry") target = &o.inEntry;
    if (a == "--replug-ms") target = &o.replugMs;
    if (a == "--leave-ms") target = &o.leaveMs;
    if (a == "--stall-at") target = &o.stallAt;
    if (a == "--stall-in-entry") target = &o.stallInEntry;
    if (a == "--quiet" || a == "--update-mode") {
      (a == "--quiet" ? o.quiet : o.updateMode) = true;
      continue;
    }
    std::string* text = nullptr;
    if (a == "--phys") text = &o.phys;
    if (a == "--trace") text = &o.tracePath;
    if (a == "--dump") text = &o.dumpPath;
    // HID_PHYS holds 64 bytes with its NUL; "/inputN" takes 7 of them.
    if (text && i + 1 < argc && argv[i + 1][0] &&
        (text != &o.phys || std::strlen(argv[i + 1]) <= 56)) {
      *text = argv[++i];
      continue;
    }
    if (!target || i + 1 >= argc || !kbt::sim::ParseInt(argv[++i], *target)) {
      std::fprintf(
          stderr,
          "usage: kbsim-uhid [--enum-delay-ms N] [--unplug-at N --in-entry E] "
          "[--replug-ms N] [--leave-ms N] [--stall-at N --stall-in-entry E] [--update-mode] "
          "[--phys NAME] [--trace FILE] [--dump FILE] [--quiet]\n");
      return 2;
    }
  }
  // A reply written after the host closed its side must not end us.
  signal(SIGPIPE, SIG_IGN);
  // SIGTERM and SIGINT are taken by one thread with sigwait; blocked here,
  // before any thread starts, so that no other thread receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  kbt::sim::UhidBus bus(o);
  std::thread stopper([&] {
    int received = 0;
    sigwait(&stopSignals, &received);
    bus.Stop();
  });
  const int rc = bus.Run();
  if (rc == 0) {
    stopper.join();
  } else {
    // Run() failed on its own: the stopper still waits for its signal.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
  }
  return rc;
}
