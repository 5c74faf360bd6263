#include "device/linux/hid_linux_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kbt {
namespace {

bool ParseHexField(const std::string& text, std::size_t begin, std::size_t end,
                   std::uint32_t& value) {
  if (begin >= end || end - begin > 8) return false;
  value = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const char c = text[i];
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value << 4 | digit;
  }
  return true;
}

std::string IdentityText(std::uint16_t vendor, std::uint16_t product, const std::string& location) {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", vendor, product);
  return std::string(ids) + " at " +
         (location.empty() ? std::string("an unknown place") : location);
}

}  // namespace

bool ParseHidId(const std::string& text, std::uint16_t& vendor, std::uint16_t& product) {
  const std::size_t first = text.find(':');
  if (first == std::string::npos) return false;
  const std::size_t second = text.find(':', first + 1);
  if (second == std::string::npos) return false;
  std::uint32_t bus = 0, v = 0, p = 0;
  if (!ParseHexField(text, 0, first, bus) || !ParseHexField(text, first + 1, second, v) ||
      !ParseHexField(text, second + 1, text.size(), p)) {
    return false;
  }
  if (v > 0xFFFF || p > 0xFFFF) return false;
  vendor = static_cast<std::uint16_t>(v);
  product = static_cast<std::uint16_t>(p);
  return true;
}

std::string HidErrnoText(int error, const std::string& what, const std::string& path) {
  switch (error) {
    // ENODEV: the hidraw node's device was unplugged or re-enumerated while
    // open; ENOENT/ENXIO: the node itself is gone or has no device behind it.
    case ENODEV:
    case ENOENT:
    case ENXIO:
      return what + ": device gone";
    case EACCES:
    case EPERM:
      return what + ": permission denied on " + path +
             " (`sudo kbupdate access --install` gives the keyboards present access)";
    default:
      return what + ": " + std::strerror(error);
  }
}

const char* UeventSource(const char* udevControlPath) {
  return access(udevControlPath, F_OK) == 0 ? "udev" : "kernel";
}

HidResult CheckListedIdentity(const HidInterfaceInfo& listed, const HidrawIdentity& now,
                              const std::string& node) {
  const bool sameIds =
      !listed.infoValid || (listed.vendorId == now.vendorId && listed.productId == now.productId);
  const bool samePlace = listed.location.empty() || listed.location == now.location;
  if (sameIds && samePlace) return HidResult::Ok();
  return HidResult::Fail("open " + node + ": the node now belongs to another device (" +
                         IdentityText(now.vendorId, now.productId, now.location) +
                         "), not the one listed (" +
                         IdentityText(listed.vendorId, listed.productId, listed.location) +
                         "); list the keyboards again");
}

DevicePath WidenPath(const std::string& path) {
  return DevicePath(path.begin(), path.end());
}

bool NarrowPath(const DevicePath& path, std::string& out) {
  out.clear();
  out.reserve(path.size());
  for (const wchar_t c : path) {
    if (c <= 0 || c > 0x7F) return false;
    out.push_back(static_cast<char>(c));
  }
  return true;
}

bool ReadAttributeFile(const std::string& path, std::vector<std::uint8_t>& out, int& error) {
  out.clear();
  error = 0;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  std::uint8_t buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      break;
    }
    if (n == 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  close(fd);
  if (error != 0) out.clear();
  return error == 0;
}

std::string LocationFromPhys(const std::string& phys) {
  const std::size_t at = phys.rfind("/input");
  return at == std::string::npos ? phys : phys.substr(0, at);
}

}  // namespace kbt
