// The simulated keyboard's USB face, as the host's enumeration and usbhid
// see it: descriptors that a host parses into the interfaces the model
// presents, and the control requests, before and after configuration.
#include <gtest/gtest.h>

#include <vector>

#include "sim/usbip/usb_keyboard.h"

namespace kbt::sim::usbip {
namespace {

using Bytes = std::vector<std::uint8_t>;
// gtest fixtures have a Setup of their own.
using UsbSetup = Setup;
using Kind = UsbKeyboard::Outcome::Kind;

UsbKeyboardParams NormalKeyboard(std::string serial = "HK0001") {
  return {
      {DescribeInterface(SimInterface::NormalBoot), DescribeInterface(SimInterface::NormalVendor)},
      "KBT simulated keyboard",
      std::move(serial)};
}

UsbSetup Request(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                 std::uint16_t length) {
  return {type, request, value, index, length};
}

// The descriptors walked as a host walks them: the interfaces with their
// class codes, HID descriptors that announce the report descriptor's length
// and one interrupt-IN endpoint each.
TEST(UsbDescriptors, DescribeTheModelsInterfaces) {
  for (const bool update : {false, true}) {
    UsbKeyboardParams p = NormalKeyboard();
    if (update)
      p.interfaces = {DescribeInterface(SimInterface::Data),
                      DescribeInterface(SimInterface::Command)};
    const Bytes device = DeviceDescriptor(p);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[7], 64);  // control packets of full speed
    EXPECT_EQ(device[8] | device[9] << 8, p.interfaces[0].vendorId);
    EXPECT_EQ(device[10] | device[11] << 8, p.interfaces[0].productId);
    EXPECT_EQ(device[16], 3);  // the serial's string index

    const Bytes config = ConfigurationDescriptor(p);
    ASSERT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));
    EXPECT_EQ(config[4], 2);  // interfaces
    std::size_t at = config[0];
    int interface = -1;
    std::vector<int> endpoints;
    while (at < config.size()) {
      const std::uint8_t length = config[at], type = config[at + 1];
      ASSERT_GT(length, 0);
      if (type == 4) {
        interface = config[at + 2];
        const bool boot = p.interfaces[interface].kind == SimInterface::NormalBoot;
        EXPECT_EQ(config[at + 5], 3);  // HID
        EXPECT_EQ(config[at + 6], boot ? 1 : 0) << interface;
        EXPECT_EQ(config[at + 7], boot ? 1 : 0) << interface;
      } else if (type == 0x21) {
        const Bytes report = ReportDescriptor(p.interfaces[interface].kind);
        EXPECT_EQ(config[at + 7] | config[at + 8] << 8, static_cast<int>(report.size()));
      } else if (type == 5) {
        endpoints.push_back(config[at + 2]);
        EXPECT_EQ(config[at + 3], 3);  // interrupt
      }
      at += length;
    }
    EXPECT_EQ(at, config.size());
    EXPECT_EQ(endpoints, (std::vector<int>{0x81, 0x82}));
  }
}

TEST(UsbDescriptors, StringsAreUtf16AndTheSerialOnlyWhereThereIsOne) {
  const UsbKeyboardParams p = NormalKeyboard("HK0001");
  EXPECT_EQ(StringDescriptor(p, 0), (Bytes{4, 3, 0x09, 0x04}));
  EXPECT_EQ(StringDescriptor(p, 3), (Bytes{14, 3, 'H', 0, 'K', 0, '0', 0, '0', 0, '0', 0, '1', 0}));
  EXPECT_TRUE(StringDescriptor(p, 4).empty());
  const UsbKeyboardParams none = NormalKeyboard("");
  EXPECT_EQ(DeviceDescriptor(none)[16], 0);
  EXPECT_TRUE(StringDescriptor(none, 3).empty());
}

class UsbKeyboardTest : public ::testing::Test {
 protected:
  UsbKeyboardTest()
      : device_(
            NormalKeyboard(),
            [this](SimInterface kind, std::span<const std::uint8_t> report) {
              sets_.push_back({static_cast<std::uint8_t>(kind)});
              sets_.back().insert(sets_.back().end(), report.begin(), report.end());
              return setAnswer_;
            },
            [this](SimInterface, std::uint8_t id, Bytes& reply) {
              ++gets_;
              EXPECT_EQ(reply.size(), 6u);
              reply = {id, 1, 2, 3, 4, 5};
              return UsbKeyboard::Answer::Accept;
            }) {}

  UsbKeyboard::Outcome Control(const UsbSetup& s, const Bytes& out = {}) {
    return device_.Control(s, out);
  }

  UsbKeyboard device_;
  std::vector<Bytes> sets_;
  int gets_ = 0;
  UsbKeyboard::Answer setAnswer_ = UsbKeyboard::Answer::Accept;
};

const UsbSetup kSetFeature5 = Request(0x21, 0x09, 0x0305, 1, 6);
const Bytes kEntry = {0x05, 0xAB, 0, 0, 0, 0};

// Before SET_CONFIGURATION the device has no interfaces: a request left
// queued for the device that was on this port before stalls here and never
// reaches the model.
TEST_F(UsbKeyboardTest, StallsInterfaceRequestsUntilConfigured) {
  EXPECT_EQ(Control(kSetFeature5, kEntry).kind, Kind::Stall);
  EXPECT_EQ(Control(Request(0x81, 0x06, 0x2200, 0, 255)).kind, Kind::Stall);
  // The old device's interrupt transfers: nobody at that address answers.
  EXPECT_EQ(device_.Other(1, true).kind, Kind::Hold);
  EXPECT_TRUE(sets_.empty());

  const auto d = Control(Request(0x80, 0x06, 0x0100, 0, 64));
  EXPECT_EQ(d.kind, Kind::Done);
  EXPECT_EQ(d.data.size(), 18u);
  EXPECT_EQ(Control(Request(0x00, 0x09, 2, 0, 0)).kind, Kind::Stall);  // no configuration 2
  EXPECT_EQ(Control(Request(0x00, 0x09, 1, 0, 0)).kind, Kind::Done);
  EXPECT_TRUE(device_.Configured());

  const auto taken = Control(kSetFeature5, kEntry);
  EXPECT_EQ(taken.kind, Kind::Done);
  EXPECT_EQ(taken.actual, 6);
  ASSERT_EQ(sets_.size(), 1u);
  EXPECT_EQ(sets_[0],
            (Bytes{static_cast<std::uint8_t>(SimInterface::NormalVendor), 0x05, 0xAB, 0, 0, 0, 0}));
  EXPECT_EQ(device_.Other(1, true).kind, Kind::Hold);  // nothing to report: held
  EXPECT_EQ(device_.Other(2, true).kind, Kind::Hold);
  EXPECT_EQ(device_.Other(3, true).kind, Kind::Stall);
  EXPECT_EQ(device_.Other(1, false).kind, Kind::Stall);
}

// The requests of enumeration and of usbhid after configuration, and what
// each gets.
TEST_F(UsbKeyboardTest, AnswersWhatTheHostAsks) {
  ASSERT_EQ(Control(Request(0x00, 0x09, 1, 0, 0)).kind, Kind::Done);
  const struct {
    const char* name;
    UsbSetup setup;
    Bytes out;
    Kind kind;
    std::size_t inLength;
  } cases[] = {
      {"first 8 bytes of the device descriptor",
       Request(0x80, 0x06, 0x0100, 0, 8),
       {},
       Kind::Done,
       8},
      {"configuration header", Request(0x80, 0x06, 0x0200, 0, 9), {}, Kind::Done, 9},
      {"device qualifier: none at full speed",
       Request(0x80, 0x06, 0x0600, 0, 10),
       {},
       Kind::Stall,
       0},
      {"serial string", Request(0x80, 0x06, 0x0303, 0x0409, 255), {}, Kind::Done, 14},
      {"report descriptor of the vendor interface",
       Request(0x81, 0x06, 0x2200, 1, 255),
       {},
       Kind::Done,
       ReportDescriptor(SimInterface::NormalVendor).size()},
      {"report descriptor of an interface that is not there",
       Request(0x81, 0x06, 0x2200, 2, 255),
       {},
       Kind::Stall,
       0},
      {"SET_IDLE", Request(0x21, 0x0A, 0, 0, 0), {}, Kind::Done, 0},
      {"LED state of the boot keyboard", Request(0x21, 0x09, 0x0200, 0, 1), {0x02}, Kind::Done, 0},
      {"a feature report on the boot keyboard, which has none", Request(0x21, 0x09, 0x0305, 0, 6),
       kEntry, Kind::Stall, 0},
      {"GET_REPORT feature 5, whole", Request(0xA1, 0x01, 0x0305, 1, 6), {}, Kind::Done, 6},
      {"GET_REPORT feature 5, the host asks less",
       Request(0xA1, 0x01, 0x0305, 1, 4),
       {},
       Kind::Done,
       4},
      {"a vendor request", Request(0xC0, 0x01, 0, 0, 4), {}, Kind::Stall, 0},
  };
  for (const auto& c : cases) {
    const auto r = Control(c.setup, c.out);
    EXPECT_EQ(r.kind, c.kind) << c.name;
    if (c.setup.In()) {
      EXPECT_EQ(r.data.size(), c.inLength) << c.name;
    }
  }
  EXPECT_EQ(device_.LedReports(), 1);
  EXPECT_EQ(device_.Leds(), 0x02);
  EXPECT_TRUE(sets_.empty());  // the LED state never reaches the model
  EXPECT_EQ(gets_, 2);
}

// What the model makes of a feature report decides the transfer: refused
// is a stall, unanswered is held for the host to give up on.
TEST_F(UsbKeyboardTest, TheModelsAnswerDecidesTheTransfer) {
  ASSERT_EQ(Control(Request(0x00, 0x09, 1, 0, 0)).kind, Kind::Done);
  setAnswer_ = UsbKeyboard::Answer::Refuse;
  EXPECT_EQ(Control(kSetFeature5, kEntry).kind, Kind::Stall);
  setAnswer_ = UsbKeyboard::Answer::None;
  EXPECT_EQ(Control(kSetFeature5, kEntry).kind, Kind::Hold);
  EXPECT_EQ(sets_.size(), 2u);
}

}  // namespace
}  // namespace kbt::sim::usbip
