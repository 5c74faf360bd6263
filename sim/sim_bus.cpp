#include "sim/sim_bus.h"

#include <algorithm>
#include <string>

namespace kbt::sim {
namespace {

TraceInterface TraceKind(SimInterface kind) {
  switch (kind) {
    case SimInterface::Data:
      return TraceInterface::Data;
    case SimInterface::Command:
      return TraceInterface::Command;
    default:
      return TraceInterface::Normal;
  }
}

class SimDevice final : public HidDevice {
 public:
  SimDevice(SimBus& bus, DevicePath path, SimInterface kind)
      : bus_(bus), path_(std::move(path)), kind_(kind) {}

  HidResult SetFeature(std::span<const std::uint8_t> report) override {
    return bus_.Set(path_, kind_, report);
  }
  HidResult GetFeature(std::span<std::uint8_t> report, std::size_t& received) override {
    return bus_.Get(path_, kind_, report, received);
  }

 private:
  SimBus& bus_;
  DevicePath path_;
  SimInterface kind_;
};

}  // namespace

std::chrono::microseconds FullSpeedUsbLatency(std::size_t bytes) {
  return std::chrono::microseconds(1000 + bytes * 6 / 5);
}

SimBus::SimBus(SimMode start, SimBusOptions options)
    : location_(options.location), model_(start), options_(std::move(options)) {
  std::lock_guard lock(mutex_);
  model_.SetBusListener([this](const BusChange& change) { OnBusChange(change); });
  for (const auto& desc : model_.Interfaces()) present_.push_back({NewPath(), desc.kind});
  arrivalThread_ = std::thread([this] { ArrivalThread(); });
}

SimBus::~SimBus() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  arrivalThread_.join();
}

void SimBus::SetEventCallback(std::function<void(const DeviceEvent&)> callback) {
  std::lock_guard lock(deliveryMutex_);
  callback_ = std::move(callback);
}

void SimBus::SetFaults(const SimFaults& faults) {
  std::lock_guard lock(mutex_);
  model_.SetFaults(faults);
  noAccess_ = faults.noAccess;
}

void SimBus::SetOptions(SimBusOptions options) {
  std::lock_guard lock(mutex_);
  // The place on the bus and the path names stay as they were.
  options.location = options_.location;
  options.pathPrefix = options_.pathPrefix;
  options_ = std::move(options);
}

DevicePath SimBus::NewPath() {
  return options_.pathPrefix + std::to_wstring(nextNode_++);
}

HidResult SimBus::Enumerate(std::vector<HidInterfaceInfo>& out) {
  std::lock_guard lock(mutex_);
  out.clear();
  for (const auto& p : present_) {
    const SimInterfaceDesc desc = DescribeInterface(p.kind);
    HidInterfaceInfo info;
    info.path = p.path;
    info.vendorId = desc.vendorId;
    info.productId = desc.productId;
    info.usagePage = desc.usagePage;
    info.featureReportLength = desc.featureReportLength;
    info.location = location_;
    info.serial = serial_;
    out.push_back(std::move(info));
  }
  return HidResult::Ok();
}

HidResult SimBus::Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) {
  std::lock_guard lock(mutex_);
  for (const auto& p : present_) {
    if (p.path == path) {
      if (noAccess_) {
        const std::string node(path.begin(), path.end());  // the bus's paths are ASCII
        return HidResult::Denied("open " + node + ": permission denied on " + node +
                                 " (simulated: no access rule)");
      }
      out = std::make_unique<SimDevice>(*this, path, p.kind);
      return HidResult::Ok();
    }
  }
  return HidResult::Fail("no such device");
}

bool SimBus::IsPresent(const DevicePath& path) const {
  for (const auto& p : present_)
    if (p.path == path) return true;
  return false;
}

void SimBus::Latency(std::size_t bytes) {
  std::function<std::chrono::microseconds(std::size_t)> latency;
  {
    std::lock_guard lock(mutex_);
    latency = options_.latency;
  }
  if (latency) std::this_thread::sleep_for(latency(bytes));
}

HidResult SimBus::Set(const DevicePath& path, SimInterface kind,
                      std::span<const std::uint8_t> report) {
  Latency(report.size());
  HidResult result;
  {
    std::lock_guard lock(mutex_);
    const bool present = IsPresent(path);
    const bool ok = present && model_.SetFeature(kind, report);
    trace_.push_back({TraceKind(kind), false, ok, {report.begin(), report.end()}, location_});
    if (!ok) result = HidResult::Fail(present && model_.OnBus() ? "report refused" : "device gone");
    AfterModelCall();
  }
  DeliverEvents();
  return result;
}

HidResult SimBus::Get(const DevicePath& path, SimInterface kind, std::span<std::uint8_t> report,
                      std::size_t& received) {
  received = 0;
  Latency(report.size());
  HidResult result;
  {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> sent(report.begin(), report.end());
    const bool present = IsPresent(path);
    const bool ok = present && model_.GetFeature(kind, report, received);
    if (ok)
      trace_.push_back({TraceKind(kind), true, true, {report.begin(), report.end()}, location_});
    else
      trace_.push_back({TraceKind(kind), true, false, std::move(sent), location_});
    if (!ok) result = HidResult::Fail(present && model_.OnBus() ? "report refused" : "device gone");
    AfterModelCall();
  }
  DeliverEvents();
  return result;
}

void SimBus::OnBusChange(const BusChange& change) {
  if (change.kind == BusChange::Kind::Leave) {
    for (const auto& p : present_)
      events_.push_back(
          {DeviceEvent::Kind::Removal, true, p.path, std::chrono::steady_clock::now()});
    present_.clear();
    arrivalDue_ = change.comesBack;
    arrivalAt_ =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.reenumerateDelayMs);
    return;
  }
  for (const auto& desc : model_.Interfaces()) {
    Present p{NewPath(), desc.kind};
    events_.push_back({DeviceEvent::Kind::Arrival, true, p.path, std::chrono::steady_clock::now()});
    present_.push_back(std::move(p));
  }
}

void SimBus::AfterModelCall() {
  // The model must not be re-entered from its listener: a re-enumeration
  // without delay ends here, right after the call that began it.
  if (arrivalDue_ && options_.reenumerateDelayMs == 0) {
    arrivalDue_ = false;
    model_.Arrive();
  }
  changed_.notify_all();
}

void SimBus::DeliverEvents() {
  std::lock_guard delivery(deliveryMutex_);
  for (;;) {
    DeviceEvent event;
    {
      std::lock_guard lock(mutex_);
      if (events_.empty()) return;
      event = std::move(events_.front());
      events_.pop_front();
    }
    if (callback_) callback_(event);
  }
}

void SimBus::ArrivalThread() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_) return;
    if (!arrivalDue_) {
      changed_.wait(lock);
      continue;
    }
    if (changed_.wait_until(lock, arrivalAt_) != std::cv_status::timeout) continue;
    if (!arrivalDue_ || std::chrono::steady_clock::now() < arrivalAt_) continue;
    arrivalDue_ = false;
    model_.Arrive();
    changed_.notify_all();
    lock.unlock();
    DeliverEvents();
    lock.lock();
  }
}

void SimBus::Unplug() {
  {
    std::lock_guard lock(mutex_);
    model_.Unplug();
    arrivalDue_ = false;  // a pending re-enumeration ends off the bus
    changed_.notify_all();
  }
  DeliverEvents();
}

void SimBus::PlugIn() {
  {
    std::lock_guard lock(mutex_);
    arrivalDue_ = false;
    model_.PlugIn();
    changed_.notify_all();
  }
  DeliverEvents();
}

void SimBus::PlugInNewUnit(const std::string& serial, std::span<const std::uint8_t> program) {
  Unplug();
  {
    std::lock_guard lock(mutex_);
    const SimFaults faults = model_.Faults();
    const bool application = program.empty() || program[0] != 0x00;
    model_ = KeyboardModel(application ? SimMode::Normal : SimMode::Update);
    std::copy_n(program.begin(), std::min(program.size(), model_.Program().size()),
                model_.Program().begin());
    model_.SetBusListener([this](const BusChange& change) { OnBusChange(change); });
    model_.SetFaults(faults);
    serial_ = serial;
    // The fresh model is on the bus: present its interfaces as an arrival.
    for (const auto& desc : model_.Interfaces()) {
      Present p{NewPath(), desc.kind};
      events_.push_back(
          {DeviceEvent::Kind::Arrival, true, p.path, std::chrono::steady_clock::now()});
      present_.push_back(std::move(p));
    }
    changed_.notify_all();
  }
  DeliverEvents();
}

void SimBus::WaitSettled() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !arrivalDue_; });
}

bool SimBus::OnBus() {
  std::lock_guard lock(mutex_);
  return model_.OnBus();
}

SimMode SimBus::Mode() {
  std::lock_guard lock(mutex_);
  return model_.Mode();
}

std::vector<DevicePath> SimBus::Paths() {
  std::lock_guard lock(mutex_);
  std::vector<DevicePath> paths;
  for (const auto& p : present_) paths.push_back(p.path);
  return paths;
}

std::vector<TraceRecord> SimBus::Trace() {
  std::lock_guard lock(mutex_);
  return trace_;
}

void SimBus::ClearTrace() {
  std::lock_guard lock(mutex_);
  trace_.clear();
}

}  // namespace kbt::sim
