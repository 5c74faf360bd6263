#include "sim/usbip/vhci.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace kbt::sim::usbip {
namespace {

const char kPlatform[] = "/sys/devices/platform/";
// USB_SPEED_FULL of the kernel's enum usb_device_speed.
constexpr int kFullSpeed = 2;

std::string Controller(int k) {
  return std::string(kPlatform) + "vhci_hcd." + std::to_string(k);
}

bool ReadInt(const std::string& path, int& out) {
  std::ifstream in(path);
  return static_cast<bool>(in >> out);
}

// The bus number of controller k's USB 2.0 root hub (speed 480), 0 if none.
int HighSpeedBus(int k) {
  DIR* dir = opendir(Controller(k).c_str());
  if (!dir) return 0;
  int bus = 0;
  while (const dirent* e = readdir(dir)) {
    if (std::strncmp(e->d_name, "usb", 3) != 0) continue;
    int speed = 0;
    if (ReadInt(Controller(k) + "/" + e->d_name + "/speed", speed) && speed == 480) {
      bus = std::atoi(e->d_name + 3);
      break;
    }
  }
  closedir(dir);
  return bus;
}

// Writes `text` to a sysfs file; 0 or the errno of the refusal.
int WriteSysfs(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  ssize_t n;
  do {
    n = write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  const int error = n < 0 ? errno : 0;
  close(fd);
  return error;
}

}  // namespace

bool FindVhciPort(int number, VhciPort& out, std::string& error) {
  int nports = 0;
  if (!ReadInt(Controller(0) + "/nports", nports) || nports <= 0) {
    error = "no vhci-hcd (" + Controller(0) + "/nports): is the vhci-hcd module loaded?";
    return false;
  }
  int controllers = 0;
  while (access(Controller(controllers).c_str(), F_OK) == 0) ++controllers;
  const int perHub = nports / (2 * controllers);
  if (perHub <= 0 || number < 1 || number > controllers * perHub) {
    error = "port " + std::to_string(number) + " does not exist: vhci-hcd has " +
            std::to_string(controllers * perHub) + " (" + std::to_string(controllers) +
            " controllers of " + std::to_string(perHub) + " USB 2.0 ports)";
    return false;
  }
  const int k = (number - 1) / perHub;
  const int r = (number - 1) % perHub;
  out.number = number;
  out.sysfsPort = k * 2 * perHub + r;
  out.hubPort = r + 1;
  out.busNumber = HighSpeedBus(k);
  if (out.busNumber == 0) {
    error = "no USB 2.0 root hub under " + Controller(k);
    return false;
  }
  return true;
}

bool VhciAttach(const VhciPort& port, int fd, std::uint32_t devid, int busyMs, std::string& error) {
  const std::string text = std::to_string(port.sysfsPort) + " " + std::to_string(fd) + " " +
                           std::to_string(devid) + " " + std::to_string(kFullSpeed);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(busyMs);
  for (;;) {
    const int e = WriteSysfs(Controller(0) + "/attach", text);
    if (e == 0) return true;
    if (e != EBUSY || std::chrono::steady_clock::now() >= deadline) {
      error = "attach at port " + port.Location() + ": " + std::strerror(e);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool VhciDetach(const VhciPort& port, std::string& error) {
  const int e = WriteSysfs(Controller(0) + "/detach", std::to_string(port.sysfsPort));
  if (e == 0) return true;
  error = "detach at port " + port.Location() + ": " + std::strerror(e);
  return false;
}

}  // namespace kbt::sim::usbip
