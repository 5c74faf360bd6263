// The pieces of the hidraw backend that need no device: the parent HID
// device's HID_ID property, errno translation, reading a sysfs attribute,
// and the simulated keyboard's descriptors as the backend will parse them
// from sysfs under uhid.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "device/discovery_rules.h"
#include "device/linux/hid_linux.h"
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

// A node from a listing is still that interface only with the listed IDs at
// the listed place; hidraw gives a freed minor to whatever arrives next.
TEST(ListedIdentity, RefusesANodeThatBecameAnotherDevice) {
  HidInterfaceInfo listed;
  listed.path = L"/dev/hidraw1";
  listed.vendorId = 0x4B54;
  listed.productId = 0x0101;
  listed.location = "1-1";
  HidInterfaceInfo unknownPlace = listed;
  unknownPlace.location.clear();
  HidInterfaceInfo invalid = listed;
  invalid.infoValid = false;
  const struct {
    const char* name;
    const HidInterfaceInfo& listed;
    HidrawIdentity now;
    bool ok;
  } cases[] = {
      {"the same interface", listed, {0x4B54, 0x0101, "1-1"}, true},
      {"the same model at another port", listed, {0x4B54, 0x0101, "1-2"}, false},
      {"the keyboard back in update mode at its port", listed, {0x0603, 0x1020, "1-1"}, false},
      {"another product", listed, {0x4B54, 0x0102, "1-1"}, false},
      {"no listed place: the IDs alone", unknownPlace, {0x4B54, 0x0101, "1-7"}, true},
      {"no listed place, other IDs", unknownPlace, {0x0603, 0x1020, "1-1"}, false},
      {"no valid IDs listed: the place alone", invalid, {0x1234, 0x5678, "1-1"}, true},
      {"no valid IDs listed, another place", invalid, {0x4B54, 0x0101, "3-1"}, false},
  };
  for (const auto& c : cases) {
    const HidResult r = CheckListedIdentity(c.listed, c.now, "/dev/hidraw1");
    EXPECT_EQ(r.ok, c.ok) << c.name;
    EXPECT_FALSE(r.accessDenied) << c.name;
  }
  const HidResult r = CheckListedIdentity(listed, {0x0603, 0x1020, "1-2"}, "/dev/hidraw1");
  EXPECT_EQ(r.error,
            "open /dev/hidraw1: the node now belongs to another device (0603:1020 at 1-2), not the "
            "one listed (4b54:0101 at 1-1); list the keyboards again");
}

// OpenListed reads the node through the handle it opened and hands that
// handle out only when the check passes; the node's answers are faked.
TEST(ListedIdentity, OpenListedGivesTheHandleOnlyForTheListedDevice) {
  HidrawIdentity answer{0x4B54, 0x0101, "1-1"};
  HidResult readResult = HidResult::Ok();
  int readFd = -1;
  auto hid = MakeLinuxHidBackend([&](int fd, const std::string& node, HidrawIdentity& out) {
    readFd = fd;
    EXPECT_EQ(node, "/dev/null");
    out = answer;
    return readResult;
  });
  HidInterfaceInfo listed;
  listed.path = L"/dev/null";
  listed.vendorId = 0x4B54;
  listed.productId = 0x0101;
  listed.location = "1-1";
  std::unique_ptr<HidDevice> device;
  ASSERT_TRUE(hid->OpenListed(listed, device));
  EXPECT_NE(device, nullptr);
  EXPECT_GE(readFd, 0);
  device.reset();

  answer.location = "1-2";
  const HidResult moved = hid->OpenListed(listed, device);
  EXPECT_FALSE(moved);
  EXPECT_EQ(device, nullptr);
  EXPECT_NE(moved.error.find("another device (4b54:0101 at 1-2)"), std::string::npos)
      << moved.error;
  // The refused handle is closed again.
  EXPECT_EQ(fcntl(readFd, F_GETFD), -1);

  readResult = HidResult::Fail("open /dev/null: device gone");
  answer.location = "1-1";
  EXPECT_EQ(hid->OpenListed(listed, device).error, "open /dev/null: device gone");
  EXPECT_EQ(device, nullptr);
  // Opening by path alone does not ask.
  readFd = -1;
  ASSERT_TRUE(hid->Open(L"/dev/null", device));
  EXPECT_EQ(readFd, -1);
}

// A keyboard that leaves the bus while its report_descriptor is read makes
// read() fail (ENODEV); /proc/self/mem fails the same way at offset 0
// (EIO), and a folder opens but cannot be read. Each is an unreadable
// attribute, never an exception out of the listing.
TEST(SysfsRead, FailedReadsAreResultsNotExceptions) {
  char dir[] = "/tmp/kbt-sysfs-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/report_descriptor";
  { std::ofstream(file, std::ios::binary).write("\x06\x00\xff\x09\x01", 5); }
  const struct {
    std::string path;
    bool ok;
    int error;
    std::size_t size;
  } cases[] = {
      {file, true, 0, 5},
      {std::string(dir) + "/gone", false, ENOENT, 0},
      {"/proc/self/mem", false, EIO, 0},
      {dir, false, EISDIR, 0},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> bytes = {1, 2, 3};
    int error = -1;
    bool ok = false;
    EXPECT_NO_THROW(ok = ReadAttributeFile(c.path, bytes, error)) << c.path;
    EXPECT_EQ(ok, c.ok) << c.path;
    EXPECT_EQ(error, c.error) << c.path;
    EXPECT_EQ(bytes.size(), c.size) << c.path;
  }
  std::remove(file.c_str());
  rmdir(dir);
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
