#include "device/hid_trace.h"

#include <algorithm>

#include "device/discovery_rules.h"

namespace kbt {
namespace {

class TracingDevice final : public HidDevice {
 public:
  TracingDevice(std::unique_ptr<HidDevice> inner, TraceInterface kind, std::string location,
                const TracingHidBackend::Sink& sink)
      : inner_(std::move(inner)), kind_(kind), location_(std::move(location)), sink_(sink) {}

  HidResult SetFeature(std::span<const std::uint8_t> report) override {
    HidResult result = inner_->SetFeature(report);
    sink_({kind_, false, result.ok, {report.begin(), report.end()}, location_});
    return result;
  }

  HidResult GetFeature(std::span<std::uint8_t> report, std::size_t& received) override {
    std::vector<std::uint8_t> sent(report.begin(), report.end());
    HidResult result = inner_->GetFeature(report, received);
    if (result.ok) {
      const auto reply = report.first(std::min(received, report.size()));
      sink_({kind_, true, true, {reply.begin(), reply.end()}, location_});
    } else {
      sink_({kind_, true, false, std::move(sent), location_});
    }
    return result;
  }

 private:
  std::unique_ptr<HidDevice> inner_;
  TraceInterface kind_;
  std::string location_;
  const TracingHidBackend::Sink& sink_;
};

}  // namespace

const char* TraceInterfaceName(TraceInterface kind) {
  switch (kind) {
    case TraceInterface::Normal:
      return "normal";
    case TraceInterface::Command:
      return "command";
    case TraceInterface::Data:
      return "data";
  }
  return "normal";
}

TraceInterface ClassifyForTrace(const HidInterfaceInfo& info) {
  if (info.vendorId == kUpdateVendorId && info.productId == kUpdateProductId) {
    if (info.featureReportLength == kDataFeatureLength) return TraceInterface::Data;
    if (info.featureReportLength == kCommandFeatureLength) return TraceInterface::Command;
  }
  return TraceInterface::Normal;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    if (i) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

std::string FormatTraceLine(std::size_t sequence, const TraceRecord& record) {
  std::string line = std::to_string(sequence);
  line += ' ';
  line += TraceInterfaceName(record.interfaceKind);
  line += record.get ? " get " : " set ";
  line += record.ok ? "ok " : "fail ";
  line += HexBytes(record.bytes.data(), record.bytes.size());
  return line;
}

HidResult TracingHidBackend::Enumerate(std::vector<HidInterfaceInfo>& out) {
  HidResult result = inner_.Enumerate(out);
  if (result) {
    std::lock_guard lock(mutex_);
    for (const auto& info : out) seen_[info.path] = {ClassifyForTrace(info), info.location};
  }
  return result;
}

HidResult TracingHidBackend::Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) {
  std::unique_ptr<HidDevice> device;
  HidResult result = inner_.Open(path, device);
  if (!result || !device) return result;
  Seen seen;
  {
    std::lock_guard lock(mutex_);
    if (auto it = seen_.find(path); it != seen_.end()) seen = it->second;
  }
  out = std::make_unique<TracingDevice>(std::move(device), seen.kind, std::move(seen.location),
                                        sink_);
  return result;
}

}  // namespace kbt
