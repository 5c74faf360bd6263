// The kernel's virtual USB host controller (vhci-hcd) as this program uses
// it: a socket handed to a port through sysfs becomes a USB device there.
//
// vhci-hcd makes its controllers (vhci_hcd.0, .1, ...) when it loads, each
// with a USB 2.0 root hub and a USB 3 one of P ports; how many of each is
// fixed when the kernel is built (Debian's: 8 controllers, P = 15; the
// module takes no parameter for it). The sysfs files attach and detach of
// vhci_hcd.0 serve all of them, with one port number space: controller k's
// USB 2.0 ports are k * 2P + 0 .. P-1, its USB 3 ports follow. This program
// numbers only the USB 2.0 ports, from 1 across the controllers (1..P on
// the first, P+1..2P on the second, ...), and a keyboard's location is the
// USB port path of that hub's port ("1-3": bus 1, port 3).
//
// Attaching writes "PORT SOCKFD DEVID SPEED" to .../attach from the process
// that holds SOCKFD (the kernel looks the descriptor up in the writer's
// table); detaching writes "PORT" to .../detach. A detach takes effect a
// little later: until the port is free again, an attach there fails with
// EBUSY, and Attach waits for it.
#pragma once

#include <cstdint>
#include <string>

namespace kbt::sim::usbip {

struct VhciPort {
  int number = 0;     // from 1, across the controllers' USB 2.0 hubs
  int sysfsPort = 0;  // what attach and detach take
  int busNumber = 0;  // the USB 2.0 root hub's bus
  int hubPort = 0;    // the port on it, from 1
  std::string Location() const { return std::to_string(busNumber) + "-" + std::to_string(hubPort); }
};

// Finds port `number` (from 1); false with the reason where vhci-hcd is not
// loaded or has no such port.
bool FindVhciPort(int number, VhciPort& out, std::string& error);

// Puts the device at the other end of the socket `fd` on the port at full
// speed; waits up to `busyMs` for a port that is still being freed.
bool VhciAttach(const VhciPort& port, int fd, std::uint32_t devid, int busyMs, std::string& error);

// Takes the device off the port (the host closes its end of the socket).
// False with the reason when the kernel refused (nothing was attached).
bool VhciDetach(const VhciPort& port, std::string& error);

}  // namespace kbt::sim::usbip
