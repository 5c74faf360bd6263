// A report trace over any HID backend: every feature report the program sends
// or requests, in order, failed ones included. One line per report:
//   <n> <normal|command|data> <set|get> <ok|fail> <bytes>
// with the bytes as two-digit lower-case hex separated by single spaces: for
// a get that succeeded the reply as received, otherwise the buffer as sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/hid.h"

namespace kbt {

enum class TraceInterface { Normal, Command, Data };

struct TraceRecord {
  TraceInterface interfaceKind = TraceInterface::Normal;
  bool get = false;
  bool ok = false;
  std::vector<std::uint8_t> bytes;
  // The keyboard's location, as the layer listed it (not part of the line:
  // a front end with several keyboards writes one trace per location).
  std::string location;
};

const char* TraceInterfaceName(TraceInterface kind);
// Data and Command by the update-mode pair and the feature length; every
// other interface is a normal-mode one.
TraceInterface ClassifyForTrace(const HidInterfaceInfo& info);
std::string HexBytes(const std::uint8_t* bytes, std::size_t count);
std::string FormatTraceLine(std::size_t sequence, const TraceRecord& record);

// Wraps a backend; every report through a device it opens goes to `sink`,
// which may be called from any thread.
class TracingHidBackend : public HidBackend {
 public:
  using Sink = std::function<void(const TraceRecord&)>;
  TracingHidBackend(HidBackend& inner, Sink sink) : inner_(inner), sink_(std::move(sink)) {}

  HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override;
  HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) override;

 private:
  HidBackend& inner_;
  Sink sink_;
  std::mutex mutex_;
  struct Seen {
    TraceInterface kind = TraceInterface::Normal;
    std::string location;
  };
  std::map<DevicePath, Seen> seen_;  // from the last enumerations
};

}  // namespace kbt
