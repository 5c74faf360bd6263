// A HID layer with no interface present: what a build without a platform HID
// layer runs over, and what tests use where no device matters.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/hid.h"

namespace kbt {

class EmptyHidBackend : public HidBackend {
 public:
  explicit EmptyHidBackend(std::string openError = "no such device")
      : openError_(std::move(openError)) {}

  HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override {
    out.clear();
    return HidResult::Ok();
  }
  HidResult Open(const DevicePath&, std::unique_ptr<HidDevice>& out) override {
    out.reset();
    return HidResult::Fail(openError_);
  }

 private:
  std::string openError_;
};

}  // namespace kbt
