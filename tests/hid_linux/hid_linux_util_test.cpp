// The pieces of the hidraw backend that need no device: the parent HID
// device's HID_ID property, errno translation, and the simulated keyboard's
// descriptors as the backend will parse them from sysfs under uhid.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "device/discovery_rules.h"
#include "device/linux/hid_linux_util.h"
#include "device/report_descriptor.h"
#include "sim/keyboard_model.h"

namespace kbt {
namespace {

TEST(HidId, ReadsVendorAndProduct) {
  struct Case {
    const char* text;
    bool ok;
    std::uint16_t vendor, product;
  };
  const Case cases[] = {
      {"0003:00000603:00001020", true, 0x0603, 0x1020},
      {"0005:0000046D:0000B33A", true, 0x046D, 0xB33A},  // Bluetooth, upper-case hex
      {"0003:0000abcd:0000ef01", true, 0xABCD, 0xEF01},
      {"0003:00010603:00001020", false, 0, 0},  // vendor beyond 16 bits
      {"0003:00000603", false, 0, 0},
      {"0003::00001020", false, 0, 0},
      {"0003:0000060G:00001020", false, 0, 0},
      {"0003:000000603:00001020", false, 0, 0},  // 9 digits
      {"", false, 0, 0},
  };
  for (const Case& c : cases) {
    std::uint16_t v = 0, p = 0;
    EXPECT_EQ(ParseHidId(c.text, v, p), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.vendor) << c.text;
      EXPECT_EQ(p, c.product) << c.text;
    }
  }
}

TEST(HidErrno, TranslatesTheCasesAUserActsOn) {
  EXPECT_EQ(HidErrnoText(ENODEV, "set feature 5", "/dev/hidraw3"), "set feature 5: device gone");
  EXPECT_EQ(HidErrnoText(ENOENT, "open /dev/hidraw3", "/dev/hidraw3"),
            "open /dev/hidraw3: device gone");
  for (int e : {EACCES, EPERM}) {
    const std::string text = HidErrnoText(e, "open /dev/hidraw3", "/dev/hidraw3");
    EXPECT_NE(text.find("permission denied on /dev/hidraw3"), std::string::npos) << text;
    EXPECT_NE(text.find("sudo kbupdate access --install"), std::string::npos) << text;
  }
  EXPECT_EQ(HidErrnoText(EIO, "get feature 6", "/dev/hidraw3"),
            "get feature 6: Input/output error");
}

// With a udev daemon running, the kernel's arrival comes before the node has
// its access rights; the daemon's own events come after.
TEST(UeventSource, DaemonsEventsWhereADaemonRuns) {
  char dir[] = "/tmp/kbt-udev-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string control = std::string(dir) + "/control";
  EXPECT_STREQ(UeventSource(control.c_str()), "kernel");
  { std::ofstream(control).put('x'); }
  EXPECT_STREQ(UeventSource(control.c_str()), "udev");
  std::remove(control.c_str());
  rmdir(dir);
}

TEST(HidPhys, LocationIsThePhysUpToItsLastInputPart) {
  const struct {
    const char* phys;
    const char* location;
  } cases[] = {
      {"usb-0000:00:14.0-2/input1", "usb-0000:00:14.0-2"},
      {"kbsim-a/input0", "kbsim-a"},
      {"kbsim-a/input1", "kbsim-a"},       // both interfaces: one keyboard
      {"odd/input/name/input3", "odd/input/name"},  // the last part only
      {"bt-keyboard", "bt-keyboard"},      // no input part: all of it
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(LocationFromPhys(c.phys), c.location) << c.phys;
}

TEST(HidPath, NodePathsRoundTripAndOthersAreRefused) {
  std::string narrow;
  EXPECT_TRUE(NarrowPath(WidenPath("/dev/hidraw12"), narrow));
  EXPECT_EQ(narrow, "/dev/hidraw12");
  EXPECT_FALSE(NarrowPath(L"/dev/hidraw\u00e91", narrow));
  EXPECT_FALSE(NarrowPath(DevicePath(L"/dev/hid\0raw", 12), narrow));
}

// What discovery will see of each simulated interface behind uhid: the
// descriptor the sim announces must parse to the figures the model claims.
TEST(SimDescriptors, ParseToWhatTheModelDescribes) {
  using sim::SimInterface;
  for (SimInterface kind : {SimInterface::NormalBoot, SimInterface::NormalVendor,
                            SimInterface::Data, SimInterface::Command}) {
    const auto bytes = sim::ReportDescriptor(kind);
    const ReportDescriptorInfo info = ParseReportDescriptor(bytes);
    const sim::SimInterfaceDesc desc = sim::DescribeInterface(kind);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.usagePage, desc.usagePage) << static_cast<int>(kind);
    EXPECT_EQ(info.featureReportLength, desc.featureReportLength) << static_cast<int>(kind);
  }
  EXPECT_EQ(ParseReportDescriptor(sim::ReportDescriptor(SimInterface::Data)).featureReportLength,
            kDataFeatureLength);
  EXPECT_EQ(ParseReportDescriptor(sim::ReportDescriptor(SimInterface::Command)).featureReportLength,
            kCommandFeatureLength);
}

}  // namespace
}  // namespace kbt
