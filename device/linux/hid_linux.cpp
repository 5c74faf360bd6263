// HID seam over hidraw. Enumeration walks the hidraw class with libudev (it
// reads /sys, so no udev daemon is needed); vendor and product come from the
// parent HID device's HID_ID property and the usage page and feature length
// from its sysfs report_descriptor (the bytes HIDIOCGRDESC would give).
//
// A path from a listing opens only the interface the listing described:
// hidraw keeps a node's minor while a handle to it is open, but once the last
// one closes, the next HID device to arrive takes the lowest free minor, so
// /dev/hidraw3 of an earlier listing may be another keyboard by now (one
// that arrived after a restart or a swap). OpenListed reads the open node's
// IDs (HIDIOCGRAWINFO) and its location (the USB ancestor of the device that
// holds the minor, else HIDIOCGRAWPHYS) and refuses a node that has become
// another device.
//
// Feature reports go through HIDIOCSFEATURE/HIDIOCGFEATURE with exactly the
// caller's buffer. The kernel checks neither length against the descriptor: a
// 2050-byte set on a 6-byte interface reaches the device as 2050 bytes, and a
// get returns how many bytes the device sent, cut silently to the buffer.
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "device/linux/hid_linux.h"
#include "device/linux/hid_linux_util.h"
#include "device/platform_hid.h"
#include "device/report_descriptor.h"

namespace kbt {
namespace {

// The ioctl number carries the buffer length in a 14-bit field.
constexpr std::size_t kMaxIoctlLength = (1u << 14) - 1;

template <typename T, T* (*Unref)(T*)>
struct UdevPtr {
  T* p = nullptr;
  explicit UdevPtr(T* ptr) : p(ptr) {}
  UdevPtr(const UdevPtr&) = delete;
  UdevPtr& operator=(const UdevPtr&) = delete;
  ~UdevPtr() {
    if (p) Unref(p);
  }
};
using Udev = UdevPtr<udev, udev_unref>;
using UdevEnumerate = UdevPtr<udev_enumerate, udev_enumerate_unref>;
using UdevDevice = UdevPtr<udev_device, udev_device_unref>;

// Where the keyboard sits: the USB device the interface belongs to, named
// by its port path ("1-2.3"), which the keyboard keeps when it re-enumerates
// into update mode; without a USB parent (uhid, Bluetooth) the HID device's
// phys string up to its last "/input" part. Both come from sysfs, so no
// access to the node is needed.
std::string LocationOf(udev_device* hidraw, udev_device* hid) {
  if (udev_device* usb =
          udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device")) {
    if (const char* name = udev_device_get_sysname(usb)) return name;
  }
  const char* phys = hid ? udev_device_get_property_value(hid, "HID_PHYS") : nullptr;
  return phys ? LocationFromPhys(phys) : std::string();
}

// Fills vendor, product, usage page and feature length; infoValid says
// whether all of them could be read. Location and serial as far as known.
// An attribute that cannot be read (the keyboard left the bus meanwhile)
// leaves the interface undescribed: discovery skips it with a note.
void Describe(udev_device* hidraw, const SysfsReader& readAttribute, HidInterfaceInfo& info) {
  info.infoValid = false;
  // The parent belongs to the hidraw device and lives as long as it does.
  udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
  info.location = LocationOf(hidraw, hid);
  if (!hid) return;
  if (const char* uniq = udev_device_get_property_value(hid, "HID_UNIQ")) info.serial = uniq;
  const char* hidId = udev_device_get_property_value(hid, "HID_ID");
  if (!hidId || !ParseHidId(hidId, info.vendorId, info.productId)) return;
  const char* syspath = udev_device_get_syspath(hid);
  std::vector<std::uint8_t> descriptor;
  int error = 0;
  if (!syspath || !readAttribute(std::string(syspath) + "/report_descriptor", descriptor, error))
    return;
  const ReportDescriptorInfo parsed = ParseReportDescriptor(descriptor);
  if (!parsed.ok) return;
  info.usagePage = parsed.usagePage;
  info.featureReportLength = parsed.featureReportLength;
  info.infoValid = true;
}

// The real reader behind OpenListed's check.
HidResult ReadHidrawIdentity(int fd, const std::string& node, HidrawIdentity& out) {
  const std::string what = "open " + node;
  hidraw_devinfo info{};
  if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0) return HidResult::Fail(HidErrnoText(errno, what, node));
  out.vendorId = static_cast<std::uint16_t>(info.vendor);
  out.productId = static_cast<std::uint16_t>(info.product);
  char phys[256] = {};
  if (ioctl(fd, HIDIOCGRAWPHYS(sizeof(phys) - 1), phys) < 0)
    return HidResult::Fail(HidErrnoText(errno, what, node));
  // The device that holds the minor now: ours, as long as the handle is open
  // (a device gone meanwhile has left sysfs, and no other can take the minor).
  struct stat st {};
  if (fstat(fd, &st) < 0) return HidResult::Fail(HidErrnoText(errno, what, node));
  Udev u(udev_new());
  if (!u.p) return HidResult::Fail(what + ": libudev unavailable");
  UdevDevice dev(udev_device_new_from_devnum(u.p, 'c', st.st_rdev));
  if (!dev.p) return HidResult::Fail(what + ": device gone");
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev.p, "usb", "usb_device");
  const char* port = usb ? udev_device_get_sysname(usb) : nullptr;
  out.location = port ? std::string(port) : LocationFromPhys(phys);
  return HidResult::Ok();
}

class LinuxHidDevice : public HidDevice {
 public:
  LinuxHidDevice(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~LinuxHidDevice() override { close(fd_); }

  int Fd() const { return fd_; }

  HidResult SetFeature(std::span<const std::uint8_t> report) override {
    const std::string what = "set feature " + ReportIdText(report);
    if (report.empty() || report.size() > kMaxIoctlLength) {
      return HidResult::Fail(what + ": length " + std::to_string(report.size()) + " out of range");
    }
    // HIDIOCSFEATURE only reads the buffer; the ioctl interface has no const.
    auto* data = const_cast<std::uint8_t*>(report.data());
    int n;
    do {
      n = ioctl(fd_, HIDIOCSFEATURE(report.size()), data);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return HidResult::Fail(HidErrnoText(errno, what, path_));
    if (static_cast<std::size_t>(n) != report.size()) {
      return HidResult::Fail(what + ": sent " + std::to_string(n) + " of " +
                             std::to_string(report.size()) + " bytes");
    }
    return HidResult::Ok();
  }

  HidResult GetFeature(std::span<std::uint8_t> report, std::size_t& received) override {
    received = 0;
    const std::string what = "get feature " + ReportIdText(report);
    if (report.empty() || report.size() > kMaxIoctlLength) {
      return HidResult::Fail(what + ": length " + std::to_string(report.size()) + " out of range");
    }
    int n;
    do {
      n = ioctl(fd_, HIDIOCGFEATURE(report.size()), report.data());
    } while (n < 0 && errno == EINTR);
    if (n < 0) return HidResult::Fail(HidErrnoText(errno, what, path_));
    received = static_cast<std::size_t>(n);
    if (received != report.size()) {
      return HidResult::Fail(what + ": device sent " + std::to_string(received) + " of " +
                             std::to_string(report.size()) + " bytes");
    }
    return HidResult::Ok();
  }

 private:
  static std::string ReportIdText(std::span<const std::uint8_t> report) {
    return report.empty() ? std::string("(empty)") : std::to_string(report[0]);
  }

  int fd_;
  std::string path_;
};

class LinuxHidBackend : public HidBackend {
 public:
  LinuxHidBackend(HidrawIdentityReader reader, SysfsReader readAttribute)
      : reader_(std::move(reader)),
        readAttribute_(readAttribute ? std::move(readAttribute) : SysfsReader(ReadAttributeFile)) {
    if (!reader_) reader_ = ReadHidrawIdentity;
  }

  // Called from worker threads (the dialog's discovery, the station): no
  // exception may leave it, or the process ends.
  HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override {
    try {
      return List(out);
    } catch (const std::exception& e) {
      out.clear();
      return HidResult::Fail(std::string("enumerate: ") + e.what());
    } catch (...) {
      out.clear();
      return HidResult::Fail("enumerate: unexpected error");
    }
  }

  HidResult List(std::vector<HidInterfaceInfo>& out) {
    out.clear();
    Udev u(udev_new());
    if (!u.p) return HidResult::Fail("enumerate: libudev unavailable");
    UdevEnumerate e(udev_enumerate_new(u.p));
    if (!e.p) return HidResult::Fail("enumerate: libudev unavailable");
    udev_enumerate_add_match_subsystem(e.p, "hidraw");
    if (const int r = udev_enumerate_scan_devices(e.p); r < 0) {
      return HidResult::Fail(HidErrnoText(-r, "enumerate", "/sys/class/hidraw"));
    }
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.p)) {
      UdevDevice dev(udev_device_new_from_syspath(u.p, udev_list_entry_get_name(entry)));
      if (!dev.p) continue;  // gone since the scan
      const char* node = udev_device_get_devnode(dev.p);
      if (!node) continue;
      HidInterfaceInfo info;
      info.path = WidenPath(node);
      if (const char* syspath = udev_device_get_syspath(dev.p)) info.instance = syspath;
      Describe(dev.p, readAttribute_, info);
      out.push_back(std::move(info));
    }
    return HidResult::Ok();
  }

  HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) override {
    out.reset();
    std::unique_ptr<LinuxHidDevice> device;
    HidResult r = OpenNode(path, device);
    if (r) out = std::move(device);
    return r;
  }

  HidResult OpenListed(const HidInterfaceInfo& listed, std::unique_ptr<HidDevice>& out) override {
    out.reset();
    std::unique_ptr<LinuxHidDevice> device;
    if (HidResult r = OpenNode(listed.path, device); !r) return r;
    std::string node;
    NarrowPath(listed.path, node);
    // Read through the open handle: the node cannot pass to another device
    // while it is held, so what the check sees is what the caller gets.
    HidrawIdentity now;
    if (HidResult r = reader_(device->Fd(), node, now); !r) return r;
    if (HidResult r = CheckListedIdentity(listed, now, node); !r) return r;
    out = std::move(device);
    return HidResult::Ok();
  }

 private:
  static HidResult OpenNode(const DevicePath& path, std::unique_ptr<LinuxHidDevice>& out) {
    std::string node;
    if (path.empty() || !NarrowPath(path, node)) return HidResult::Fail("open: no such interface");
    const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      std::string text = HidErrnoText(error, "open " + node, node);
      return error == EACCES || error == EPERM ? HidResult::Denied(std::move(text))
                                               : HidResult::Fail(std::move(text));
    }
    out = std::make_unique<LinuxHidDevice>(fd, node);
    return HidResult::Ok();
  }

  HidrawIdentityReader reader_;
  SysfsReader readAttribute_;
};

// The monitor as a waiting source for the command line and the station. A
// thread of its own does nothing but read the monitor and time each event as
// it arrives: a consumer busy with a listing (seconds on a loaded machine)
// must not make a keyboard's absence look longer than it was.
class MonitorEventSource : public DeviceEventSource {
 public:
  explicit MonitorEventSource(std::unique_ptr<HidrawMonitor> monitor)
      : monitor_(std::move(monitor)), stop_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (stop_ >= 0) thread_ = std::thread([this] { Read(); });
  }
  ~MonitorEventSource() override {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      while (write(stop_, &one, sizeof one) < 0 && errno == EINTR) {
      }
      thread_.join();
    }
    if (stop_ >= 0) close(stop_);
  }
  MonitorEventSource(const MonitorEventSource&) = delete;
  MonitorEventSource& operator=(const MonitorEventSource&) = delete;

  bool Running() const { return thread_.joinable(); }

  bool WaitEvent(DeviceEvent& out, unsigned timeoutMs) override {
    // What the system has queued is there at once, also while the reading
    // thread waits for a CPU: a zero wait asks whether anything came.
    Drain();
    return queue_.WaitEvent(out, timeoutMs);
  }

 private:
  void Read() {
    pollfd p[2] = {{monitor_->Fd(), POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
      const int r = poll(p, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || p[1].revents != 0) return;
      if ((p[0].revents & POLLIN) == 0) {
        // The socket failed: no more events; the station lists on its own
        // rounds from here on.
        if (p[0].revents != 0) return;
        continue;
      }
      Drain();
    }
  }

  // Moves what the socket holds into the queue, each event timed now; one
  // reader at a time keeps them in order.
  void Drain() {
    std::lock_guard lock(readMutex_);
    const auto at = std::chrono::steady_clock::now();
    for (DeviceEvent& e : monitor_->ReadEvents()) {
      e.at = at;
      queue_.Push(std::move(e));
    }
  }

  std::unique_ptr<HidrawMonitor> monitor_;
  std::mutex readMutex_;
  int stop_;
  DeviceEventQueue queue_;
  std::thread thread_;  // last: it reads the members above
};

}  // namespace

std::unique_ptr<HidBackend> MakeLinuxHidBackend(HidrawIdentityReader reader,
                                                SysfsReader readAttribute) {
  return std::make_unique<LinuxHidBackend>(std::move(reader), std::move(readAttribute));
}

std::unique_ptr<HidBackend> MakePlatformHidBackend() {
  return MakeLinuxHidBackend();
}

std::unique_ptr<DeviceEventSource> MakePlatformDeviceEventSource() {
  std::unique_ptr<HidrawMonitor> monitor;
  if (!HidrawMonitor::Open(monitor)) return nullptr;
  auto source = std::make_unique<MonitorEventSource>(std::move(monitor));
  if (!source->Running()) return nullptr;
  return source;
}

}  // namespace kbt
