#include "sim/usbip/usb_keyboard.h"

#include <algorithm>

namespace kbt::sim::usbip {
namespace {

// Standard requests (bRequest) and descriptor types of the USB framework.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kSetAddress = 0x05;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;

constexpr std::uint8_t kDeviceType = 0x01;
constexpr std::uint8_t kConfigurationType = 0x02;
constexpr std::uint8_t kStringType = 0x03;
constexpr std::uint8_t kInterfaceType = 0x04;
constexpr std::uint8_t kEndpointType = 0x05;

// The HID class: its descriptors and requests.
constexpr std::uint8_t kHidClass = 0x03;
constexpr std::uint8_t kHidType = 0x21;
constexpr std::uint8_t kReportType = 0x22;
constexpr std::uint8_t kGetReport = 0x01;
constexpr std::uint8_t kGetIdle = 0x02;
constexpr std::uint8_t kGetProtocol = 0x03;
constexpr std::uint8_t kSetReport = 0x09;
constexpr std::uint8_t kSetIdle = 0x0A;
constexpr std::uint8_t kSetProtocol = 0x0B;
// wValue's high byte of GET_REPORT/SET_REPORT.
constexpr std::uint8_t kInputReport = 0x01;
constexpr std::uint8_t kOutputReport = 0x02;
constexpr std::uint8_t kFeatureReport = 0x03;

constexpr std::uint8_t kConfigurationValue = 1;
constexpr std::uint8_t kMaxPacket0 = 64;       // full speed's largest control packet
constexpr std::uint8_t kBootReportLength = 8;  // modifiers, reserved, six keys
constexpr std::uint8_t kIntervalMs = 10;
constexpr std::uint16_t kEnglish = 0x0409;
constexpr char kMaker[] = "KBT";

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

bool IsBoot(const SimInterfaceDesc& d) {
  return d.kind == SimInterface::NormalBoot;
}

std::vector<std::uint8_t> HidDescriptor(const SimInterfaceDesc& d) {
  std::vector<std::uint8_t> out = {9, kHidType};
  Put16(out, 0x0111);  // HID 1.11
  out.push_back(0);    // not localised
  out.push_back(1);    // one class descriptor: the report descriptor
  out.push_back(kReportType);
  Put16(out, static_cast<std::uint16_t>(ReportDescriptor(d.kind).size()));
  return out;
}

UsbKeyboard::Outcome Stall() {
  return {UsbKeyboard::Outcome::Kind::Stall, {}, 0};
}

UsbKeyboard::Outcome Hold() {
  return {UsbKeyboard::Outcome::Kind::Hold, {}, 0};
}

// An IN answer: at most what the host asked for.
UsbKeyboard::Outcome In(std::vector<std::uint8_t> bytes, std::uint16_t asked) {
  if (bytes.size() > asked) bytes.resize(asked);
  const auto n = static_cast<std::int32_t>(bytes.size());
  return {UsbKeyboard::Outcome::Kind::Done, std::move(bytes), n};
}

// An OUT request taken whole.
UsbKeyboard::Outcome Taken(std::span<const std::uint8_t> out) {
  return {UsbKeyboard::Outcome::Kind::Done, {}, static_cast<std::int32_t>(out.size())};
}

}  // namespace

std::vector<std::uint8_t> DeviceDescriptor(const UsbKeyboardParams& p) {
  const SimInterfaceDesc& first = p.interfaces.front();
  std::vector<std::uint8_t> out = {18, kDeviceType};
  Put16(out, 0x0200);  // USB 2.0
  out.push_back(0);    // class per interface
  out.push_back(0);
  out.push_back(0);
  out.push_back(kMaxPacket0);
  Put16(out, first.vendorId);
  Put16(out, first.productId);
  Put16(out, 0x0100);  // device release 1.00
  out.push_back(1);    // iManufacturer
  out.push_back(2);    // iProduct
  out.push_back(p.serial.empty() ? 0 : 3);
  out.push_back(1);  // one configuration
  return out;
}

std::vector<std::uint8_t> ConfigurationDescriptor(const UsbKeyboardParams& p) {
  std::vector<std::uint8_t> out = {9,
                                   kConfigurationType,
                                   0,
                                   0,
                                   static_cast<std::uint8_t>(p.interfaces.size()),
                                   kConfigurationValue,
                                   0,
                                   0xA0,  // bus powered, remote wake-up
                                   50};   // 100 mA
  for (std::size_t i = 0; i < p.interfaces.size(); ++i) {
    const SimInterfaceDesc& d = p.interfaces[i];
    const std::uint8_t boot = IsBoot(d) ? 1 : 0;
    const std::vector<std::uint8_t> interface = {
        9, kInterfaceType, static_cast<std::uint8_t>(i), 0, 1, kHidClass, boot, boot, 0};
    out.insert(out.end(), interface.begin(), interface.end());
    const std::vector<std::uint8_t> hid = HidDescriptor(d);
    out.insert(out.end(), hid.begin(), hid.end());
    out.insert(out.end(), {7, kEndpointType, static_cast<std::uint8_t>(0x81 + i), 0x03});
    Put16(out, boot ? kBootReportLength : kMaxPacket0);
    out.push_back(kIntervalMs);
  }
  out[2] = static_cast<std::uint8_t>(out.size());
  out[3] = static_cast<std::uint8_t>(out.size() >> 8);
  return out;
}

std::vector<std::uint8_t> StringDescriptor(const UsbKeyboardParams& p, std::uint8_t index) {
  std::string text;
  switch (index) {
    case 0: {
      std::vector<std::uint8_t> out = {4, kStringType};
      Put16(out, kEnglish);
      return out;
    }
    case 1:
      text = kMaker;
      break;
    case 2:
      text = p.product;
      break;
    case 3:
      if (p.serial.empty()) return {};
      text = p.serial;
      break;
    default:
      return {};
  }
  // UTF-16LE of ASCII text; a descriptor holds at most 126 characters.
  if (text.size() > 126) text.resize(126);
  std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(2 + 2 * text.size()), kStringType};
  for (const char c : text) Put16(out, static_cast<std::uint8_t>(c));
  return out;
}

UsbKeyboard::UsbKeyboard(UsbKeyboardParams params, SetHandler onSet, GetHandler onGet)
    : params_(std::move(params)),
      onSet_(std::move(onSet)),
      onGet_(std::move(onGet)),
      idle_(params_.interfaces.size(), 0) {}

const SimInterfaceDesc* UsbKeyboard::InterfaceOf(const Setup& setup) const {
  const std::size_t i = setup.index & 0xFF;
  return i < params_.interfaces.size() ? &params_.interfaces[i] : nullptr;
}

UsbKeyboard::Outcome UsbKeyboard::Control(const Setup& setup, std::span<const std::uint8_t> out) {
  // Nothing but the device itself exists until it is configured.
  if (setup.Recipient() != 0 && !Configured()) return Stall();
  switch (setup.Type()) {
    case 0:
      return Standard(setup, out);
    case 1:
      return setup.Recipient() == 1 ? Class(setup, out) : Stall();
    default:
      return Stall();
  }
}

UsbKeyboard::Outcome UsbKeyboard::Standard(const Setup& setup, std::span<const std::uint8_t> out) {
  const std::uint8_t type = static_cast<std::uint8_t>(setup.value >> 8);
  const std::uint8_t index = static_cast<std::uint8_t>(setup.value);
  switch (setup.Recipient()) {
    case 0:  // the device
      switch (setup.request) {
        case kGetStatus:
          return In({0, 0}, setup.length);
        case kClearFeature:
        case kSetFeature:
        case kSetAddress:
          return Taken(out);
        case kGetConfiguration:
          return In({configuration_}, setup.length);
        case kSetConfiguration:
          if (index != 0 && index != kConfigurationValue) return Stall();
          configuration_ = index;
          return Taken(out);
        case kGetDescriptor: {
          std::vector<std::uint8_t> bytes;
          if (type == kDeviceType && index == 0) bytes = DeviceDescriptor(params_);
          if (type == kConfigurationType && index == 0) bytes = ConfigurationDescriptor(params_);
          if (type == kStringType) bytes = StringDescriptor(params_, index);
          // A device qualifier or BOS descriptor: a full-speed USB 2.0
          // device has neither, and says so with a stall.
          if (bytes.empty()) return Stall();
          return In(std::move(bytes), setup.length);
        }
        default:
          return Stall();
      }
    case 1: {  // an interface
      const SimInterfaceDesc* d = InterfaceOf(setup);
      if (!d) return Stall();
      switch (setup.request) {
        case kGetStatus:
          return In({0, 0}, setup.length);
        case kGetInterface:
          return In({0}, setup.length);
        case kSetInterface:
          return setup.value == 0 ? Taken(out) : Stall();
        case kGetDescriptor:
          if (type == kReportType) return In(ReportDescriptor(d->kind), setup.length);
          if (type == kHidType) return In(HidDescriptor(*d), setup.length);
          return Stall();
        default:
          return Stall();
      }
    }
    case 2: {  // an endpoint: 0 and the interrupt-IN ones
      const std::uint8_t address = static_cast<std::uint8_t>(setup.index);
      const bool known =
          (address & 0x7F) == 0 || (address >= 0x81 && address < 0x81 + params_.interfaces.size());
      if (!known) return Stall();
      if (setup.request == kGetStatus) return In({0, 0}, setup.length);
      if (setup.request == kClearFeature || setup.request == kSetFeature) return Taken(out);
      return Stall();
    }
    default:
      return Stall();
  }
}

UsbKeyboard::Outcome UsbKeyboard::Class(const Setup& setup, std::span<const std::uint8_t> out) {
  const SimInterfaceDesc* d = InterfaceOf(setup);
  if (!d) return Stall();
  const std::size_t number = static_cast<std::size_t>(d - params_.interfaces.data());
  const std::uint8_t reportType = static_cast<std::uint8_t>(setup.value >> 8);
  const std::uint8_t reportId = static_cast<std::uint8_t>(setup.value);
  switch (setup.request) {
    case kSetIdle:
      idle_[number] = static_cast<std::uint8_t>(setup.value >> 8);
      return Taken(out);
    case kGetIdle:
      return In({idle_[number]}, setup.length);
    case kSetProtocol:
      return Taken(out);
    case kGetProtocol:
      return In({1}, setup.length);  // report protocol
    case kSetReport:
      if (reportType == kOutputReport && IsBoot(*d)) {
        // The LED state: five bits, taken and shown nowhere.
        ++ledReports_;
        leds_ = out.empty() ? 0 : out[0];
        return Taken(out);
      }
      if (reportType != kFeatureReport || d->featureReportLength == 0) return Stall();
      switch (onSet_(d->kind, out)) {
        case Answer::Accept:
          return Taken(out);
        case Answer::Refuse:
          return Stall();
        case Answer::None:
          return Hold();
      }
      return Stall();
    case kGetReport: {
      if (reportType == kInputReport && IsBoot(*d))
        return In(std::vector<std::uint8_t>(kBootReportLength, 0), setup.length);
      if (reportType != kFeatureReport || d->featureReportLength == 0 || setup.length == 0)
        return Stall();
      // The device sends its report as long as it is; the host takes at
      // most what it asked for.
      std::vector<std::uint8_t> reply(d->featureReportLength, 0);
      reply[0] = reportId;
      switch (onGet_(d->kind, reportId, reply)) {
        case Answer::Accept:
          return In(std::move(reply), setup.length);
        case Answer::Refuse:
          return Stall();
        case Answer::None:
          return Hold();
      }
      return Stall();
    }
    default:
      return Stall();
  }
}

UsbKeyboard::Outcome UsbKeyboard::Other(std::uint32_t endpoint, bool in) const {
  // Before its configuration a device has no such endpoint; on a real bus
  // nobody would answer a transfer to it (it went to the old address of a
  // device that left). A stall would make the old device's driver clear the
  // halt and reset the port, under the new device's enumeration.
  if (!Configured()) return Hold();
  if (in && endpoint >= 1 && endpoint <= params_.interfaces.size()) return Hold();
  return Stall();
}

}  // namespace kbt::sim::usbip
