#include "sim/usbip/usbip_unit.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace kbt::sim::usbip {
namespace {

// How long an attach waits for a port that a detach is still freeing.
constexpr int kPortBusyMs = 5000;
// How long the host may take to close its end after a detach.
constexpr int kDetachMs = 3000;

const char* ModeName(SimMode mode) {
  return mode == SimMode::Update ? "update mode" : "normal operation";
}

}  // namespace

UsbipUnit::UsbipUnit(UnitOptions options, Log log)
    : options_(std::move(options)), log_(std::move(log)) {}

UsbipUnit::~UsbipUnit() {
  Stop();
  if (trace_) std::fclose(trace_);
}

bool UsbipUnit::Start(std::string& error) {
  if (!FindVhciPort(options_.port, port_, error)) return false;
  location_ = port_.Location();
  std::vector<std::uint8_t> memory;
  if (!options_.memoryPath.empty()) {
    std::ifstream in(options_.memoryPath, std::ios::binary);
    if (in) memory.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in || memory.size() != kSimProgramSize) {
      error = "cannot read " + std::to_string(kSimProgramSize) + " bytes of program memory from " +
              options_.memoryPath;
      return false;
    }
  }
  // At power-on the controller starts its application only when program
  // byte 0 is not 0x00.
  const bool update = options_.updateMode || (!memory.empty() && memory[0] == 0x00);
  model_ = KeyboardModel(update ? SimMode::Update : SimMode::Normal);
  if (!memory.empty()) std::copy(memory.begin(), memory.end(), model_.Program().begin());
  if (!options_.tracePath.empty()) {
    trace_ = std::fopen(options_.tracePath.c_str(), "w");
    if (!trace_) {
      error = "cannot write " + options_.tracePath + ": " + std::strerror(errno);
      return false;
    }
  }
  model_.SetBusListener([this](const BusChange& change) {
    // Runs inside a model call, under mutex_: only record.
    if (change.kind == BusChange::Kind::Leave) ++generation_;
    changes_.push_back(change);
    changed_.notify_all();
  });
  std::unique_lock lock(mutex_);
  if (model_.Mode() == SimMode::Update) ArmFaults();
  if (!Present(lock)) {
    error = "cannot attach at " + location_;
    return false;
  }
  lock.unlock();
  manager_ = std::thread([this] { Manage(); });
  return true;
}

void UsbipUnit::Stop() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (manager_.joinable()) manager_.join();
}

void UsbipUnit::Manage() {
  std::unique_lock lock(mutex_);
  auto pause = [&](int ms) {
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_; });
  };
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !changes_.empty(); });
    if (stopping_) {
      Say("leaves the bus");
      Remove(lock);
      WriteDump();
      return;
    }
    const BusChange change = changes_.front();
    changes_.pop_front();
    if (change.kind == BusChange::Kind::Arrive) {
      if (change.mode == SimMode::Update) ArmFaults();
      if (!Present(lock)) Say("stays off the bus: its port cannot be attached");
      continue;
    }
    // The controller restarts: it stays on the bus a while, answering
    // nothing (generation_ has moved on).
    if (change.comesBack) pause(options_.leaveMs);
    if (stopping_) continue;
    Say(std::string("leaves the bus") + (change.comesBack ? "" : " (unplugged)"));
    const auto leftAt = std::chrono::steady_clock::now();
    Remove(lock);
    int offMs = change.comesBack ? options_.enumDelayMs : options_.replugMs;
    if (change.comesBack && options_.returnMs > 0) {
      const auto removing = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - leftAt)
                                .count();
      offMs = std::max(0, options_.returnMs - enumerationMs_ - static_cast<int>(removing));
    }
    pause(offMs);
    if (stopping_) continue;
    if (change.comesBack) {
      model_.Arrive();
    } else {
      model_.SetFaults({});  // the fault was one unplug; the replugged device is sound
      model_.PlugIn();
    }
  }
}

bool UsbipUnit::Present(std::unique_lock<std::mutex>& lock) {
  const unsigned generation = generation_;
  UsbKeyboardParams params;
  params.interfaces = model_.Interfaces();
  if (params.interfaces.empty()) return true;
  const SimMode mode = model_.Mode();
  params.product =
      std::string("KBT simulated keyboard") + (mode == SimMode::Update ? " (update mode)" : "");
  params.serial = options_.serial;
  auto device = std::make_unique<UsbKeyboard>(
      std::move(params),
      [this, generation](SimInterface kind, std::span<const std::uint8_t> report) {
        return OnSet(kind, generation, report);
      },
      [this, generation](SimInterface kind, std::uint8_t id, std::vector<std::uint8_t>& reply) {
        return OnGet(kind, generation, id, reply);
      });
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    Say(std::string("socketpair: ") + std::strerror(errno));
    return false;
  }
  auto connection = std::make_unique<UsbipConnection>(
      sv[0], std::move(device), [this](const std::string& t) { Say(t); },
      [this] {
        std::lock_guard guard(mutex_);
        enumerationMs_ = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - attachedAt_)
                                              .count());
      });
  // Reading before the attach: enumeration starts at once.
  connection->Start();
  const std::uint32_t devid =
      static_cast<std::uint32_t>(port_.busNumber) << 16 | (++arrivals_ & 0xFFFF);
  std::string error;
  attachedAt_ = std::chrono::steady_clock::now();
  // Transfers may come in while the port is attached; they take the lock.
  lock.unlock();
  const bool ok = VhciAttach(port_, sv[1], devid, kPortBusyMs, error);
  // The kernel holds its own reference to its end.
  close(sv[1]);
  lock.lock();
  if (!ok) {
    Say(error);
    connection->Close();
    return false;
  }
  connection_ = std::move(connection);
  Say(std::string("arrives: ") + ModeName(mode) +
      (options_.serial.empty() ? "" : ", serial " + options_.serial));
  return true;
}

void UsbipUnit::Remove(std::unique_lock<std::mutex>& lock) {
  std::unique_ptr<UsbipConnection> connection = std::move(connection_);
  if (!connection) return;
  lock.unlock();
  std::string error;
  if (!VhciDetach(port_, error)) {
    Say(error + "; closing the connection instead");
  } else if (!connection->WaitEnded(kDetachMs)) {
    Say("the host kept the connection after the detach; closing it");
  }
  connection->Close();
  lock.lock();
}

void UsbipUnit::ArmFaults() {
  if (options_.unplugAt > 0 && !faultArmed_ && model_.Entries() == options_.inEntry) {
    faultArmed_ = true;
    SimFaults faults;
    faults.unplugAt = options_.unplugAt;
    model_.SetFaults(faults);
    Say("armed: leave the bus at report " + std::to_string(options_.unplugAt));
  }
  if (options_.stallAt > 1 && !stallUsed_ && model_.Entries() == options_.stallInEntry) {
    stallUsed_ = true;
    stallArmed_ = true;
    // Restarts the count for the session's reports from its Begin, keeping
    // an unplug armed for the same session.
    model_.SetFaults(model_.Faults());
    Say("armed: no answer to report " + std::to_string(options_.stallAt));
  }
}

bool UsbipUnit::StallsNow(SimInterface kind) {
  if (!stallArmed_ || (kind != SimInterface::Data && kind != SimInterface::Command) ||
      model_.ReportCount() != options_.stallAt - 1)
    return false;
  stallArmed_ = false;
  Say("leaves report " + std::to_string(options_.stallAt) + " unanswered");
  return true;
}

void UsbipUnit::Trace(SimInterface kind, bool get, const char* answer, const std::uint8_t* bytes,
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

bool UsbipUnit::WriteDump() {
  if (options_.dumpPath.empty()) return true;
  const std::string temporary = options_.dumpPath + ".new";
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  const auto& memory = model_.Program();
  out.write(reinterpret_cast<const char*>(memory.data()),
            static_cast<std::streamsize>(memory.size()));
  out.close();
  // Renamed into place, so that a reader never sees half a dump.
  if (!out || std::rename(temporary.c_str(), options_.dumpPath.c_str()) != 0) {
    Say("cannot write " + options_.dumpPath);
    return false;
  }
  return true;
}

UsbKeyboard::Answer UsbipUnit::OnSet(SimInterface kind, unsigned generation,
                                     std::span<const std::uint8_t> report) {
  std::lock_guard guard(mutex_);
  if (generation == generation_ && StallsNow(kind)) {
    Trace(kind, false, "none", report.data(), report.size());
    return UsbKeyboard::Answer::None;
  }
  const int finishes = model_.Finishes();
  const bool ok = generation == generation_ && model_.SetFeature(kind, report);
  Trace(kind, false, ok ? "ok" : "fail", report.data(), report.size());
  // The device's own view of an update's length: Begin accepted to Finish
  // accepted.
  if (ok && kind == SimInterface::Command && report.size() >= 2 && report[1] == 0x45)
    beginAt_ = std::chrono::steady_clock::now();
  if (model_.Finishes() != finishes) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - beginAt_)
                        .count();
    Say("update took " + std::to_string(ms) + " ms from Begin to Finish");
    WriteDump();
  }
  return ok ? UsbKeyboard::Answer::Accept : UsbKeyboard::Answer::Refuse;
}

UsbKeyboard::Answer UsbipUnit::OnGet(SimInterface kind, unsigned generation, std::uint8_t id,
                                     std::vector<std::uint8_t>& reply) {
  std::lock_guard guard(mutex_);
  if (generation != generation_) {
    Trace(kind, true, "fail", &id, 1);
    return UsbKeyboard::Answer::Refuse;
  }
  if (StallsNow(kind)) {
    Trace(kind, true, "none", &id, 1);
    return UsbKeyboard::Answer::None;
  }
  std::size_t received = 0;
  if (!model_.GetFeature(kind, reply, received)) {
    Trace(kind, true, "fail", &id, 1);
    return UsbKeyboard::Answer::Refuse;
  }
  reply.resize(received);
  Trace(kind, true, "ok", reply.data(), reply.size());
  return UsbKeyboard::Answer::Accept;
}

}  // namespace kbt::sim::usbip
