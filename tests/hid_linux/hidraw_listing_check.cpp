// A path from an earlier listing against a node that has passed to another
// device, on a real kernel: run inside the real-kernel test's guest
// (tools/vm/guest.d/73-usb-stale-path.sh), where keyboards come and go on
// vhci-hcd ports.
//   hidraw-listing-check save FILE       the interfaces listed now, one a line
//   hidraw-listing-check open FILE PLACE  each saved interface at PLACE opened
//                                         through its listing, then by path
// `open` prints one line per interface and way:
//   listed /dev/hidraw1 4b54:0101 at 1-1: refused: open /dev/hidraw1: ...
//   path /dev/hidraw1: opened
// and exits 0 when it could try them all (the scenario judges the lines), 1
// when the file holds nothing at PLACE, 2 on a wrong command line.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device/linux/hid_linux.h"
#include "device/linux/hid_linux_util.h"

namespace kbt {
namespace {

std::string Text(const DevicePath& path) {
  std::string s;
  NarrowPath(path, s);
  return s;
}

int Save(const char* file) {
  std::vector<HidInterfaceInfo> all;
  if (const HidResult r = MakeLinuxHidBackend()->Enumerate(all); !r) {
    std::fprintf(stderr, "%s\n", r.error.c_str());
    return 1;
  }
  std::ofstream out(file);
  for (const HidInterfaceInfo& i : all) {
    out << Text(i.path) << ' ' << std::hex << i.vendorId << ' ' << i.productId << std::dec << ' '
        << i.infoValid << ' ' << (i.location.empty() ? "-" : i.location) << '\n';
  }
  return out ? 0 : 1;
}

int Open(const char* file, const std::string& place) {
  std::ifstream in(file);
  auto hid = MakeLinuxHidBackend();
  int tried = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string path, location;
    HidInterfaceInfo listed;
    fields >> path >> std::hex >> listed.vendorId >> listed.productId >> std::dec >>
        listed.infoValid >> location;
    if (!fields || location != place) continue;
    listed.path = WidenPath(path);
    listed.location = location;
    ++tried;
    std::unique_ptr<HidDevice> device;
    const HidResult r = hid->OpenListed(listed, device);
    std::printf("listed %s %04x:%04x at %s: %s\n", path.c_str(), listed.vendorId, listed.productId,
                location.c_str(), r ? "opened" : ("refused: " + r.error).c_str());
    device.reset();
    const HidResult byPath = hid->Open(listed.path, device);
    std::printf("path %s: %s\n", path.c_str(),
                byPath ? "opened" : ("refused: " + byPath.error).c_str());
  }
  return tried > 0 ? 0 : 1;
}

}  // namespace
}  // namespace kbt

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "save") == 0) return kbt::Save(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "open") == 0) return kbt::Open(argv[2], argv[3]);
  std::fprintf(stderr, "usage: hidraw-listing-check save FILE | open FILE PLACE\n");
  return 2;
}
