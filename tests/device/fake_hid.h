// A table of HID interfaces for the discovery tests: each with its info,
// whether it opens, and when its 0xAB report starts failing. Every set
// report is recorded with its path. OpenListed checks the listing against
// the table as it is now, as a layer whose paths pass to other devices
// does (Replace moves them).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "device/hid.h"

namespace kbt::test {

struct FakeInterface {
  HidInterfaceInfo info;
  bool opens = true;  // false: the system refuses this user access
  // The n-th 0xAB report (1 = the first) and every later one fail; 0: never.
  int abFailsFrom = 0;
  // Non-empty: opening fails with this text, for a reason other than access.
  std::string openError;
};

struct SentReport {
  DevicePath path;
  std::vector<std::uint8_t> bytes;
};

class FakeHid : public HidBackend {
 public:
  explicit FakeHid(std::vector<FakeInterface> interfaces) : interfaces_(std::move(interfaces)) {}

  HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override {
    if (onEnumerate) onEnumerate();
    out.clear();
    for (const auto& i : interfaces_) out.push_back(i.info);
    return HidResult::Ok();
  }

  HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) override {
    if (onOpen) onOpen(path);
    for (auto& i : interfaces_) {
      if (i.info.path != path) continue;
      if (!i.opens) return HidResult::Denied("access denied");
      if (!i.openError.empty()) return HidResult::Fail(i.openError);
      out = std::make_unique<Device>(*this, i);
      return HidResult::Ok();
    }
    return HidResult::Fail("no such device");
  }

  HidResult OpenListed(const HidInterfaceInfo& listed, std::unique_ptr<HidDevice>& out) override {
    for (const auto& i : interfaces_) {
      if (i.info.path != listed.path) continue;
      if (i.info.vendorId != listed.vendorId || i.info.productId != listed.productId ||
          i.info.location != listed.location)
        return HidResult::Fail("the node now belongs to another device");
    }
    return Open(listed.path, out);
  }

  // The bus as it is after devices left and others arrived.
  void Replace(std::vector<FakeInterface> interfaces) { interfaces_ = std::move(interfaces); }

  std::vector<SentReport> Sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }

  std::function<void()> onEnumerate;
  std::function<void(const DevicePath&)> onOpen;

 private:
  class Device : public HidDevice {
   public:
    Device(FakeHid& hid, FakeInterface& i) : hid_(hid), i_(i) {}
    HidResult SetFeature(std::span<const std::uint8_t> report) override {
      std::lock_guard lock(hid_.mutex_);
      hid_.sent_.push_back({i_.info.path, {report.begin(), report.end()}});
      if (report.size() > 1 && report[1] == 0xAB && i_.abFailsFrom > 0 &&
          ++abCount_ >= i_.abFailsFrom)
        return HidResult::Fail("device gone");
      return HidResult::Ok();
    }
    HidResult GetFeature(std::span<std::uint8_t>, std::size_t& received) override {
      received = 0;
      return HidResult::Fail("not supported");
    }

   private:
    FakeHid& hid_;
    FakeInterface& i_;
    int abCount_ = 0;
  };

  std::vector<FakeInterface> interfaces_;
  std::mutex mutex_;
  std::vector<SentReport> sent_;
};

inline HidInterfaceInfo Info(std::wstring path, std::uint16_t vid, std::uint16_t pid,
                             std::uint16_t page, std::uint16_t length, bool valid = true) {
  HidInterfaceInfo info;
  info.path = std::move(path);
  info.vendorId = vid;
  info.productId = pid;
  info.usagePage = page;
  info.featureReportLength = length;
  info.infoValid = valid;
  return info;
}

}  // namespace kbt::test
