// One attachment of the simulated keyboard to the kernel's virtual host
// controller: the device's end of the socket that vhci-hcd was given. One
// reader thread takes every message in order and answers it at once, so all
// writes come from that thread:
//   - CMD_SUBMIT on endpoint 0: a control transfer, answered by the
//     UsbKeyboard (a stall is status -EPIPE);
//   - CMD_SUBMIT on an interrupt-IN endpoint, or a feature report the
//     device leaves unanswered: held, no answer, until the host unlinks it;
//   - CMD_UNLINK: RET_UNLINK with -ECONNRESET when the URB was still held
//     (and never a RET_SUBMIT for it after that: the host takes an answer
//     for a URB it no longer knows as a broken stream and drops the
//     device), status 0 when it had been answered already.
// A header this side cannot read ends the connection: the stream is lost.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "sim/usbip/usb_keyboard.h"

namespace kbt::sim::usbip {

class UsbipConnection {
 public:
  using Log = std::function<void(const std::string&)>;

  // Takes the socket `fd` (closed by the connection) and the device it
  // carries; `log` gets one line per event worth knowing (configuration,
  // requests stalled before it, LED state, the end), `onConfigured` is
  // called when the host has configured the device. Call Start() to run.
  UsbipConnection(int fd, std::unique_ptr<UsbKeyboard> device, Log log,
                  std::function<void()> onConfigured = {});
  ~UsbipConnection();  // Close()
  UsbipConnection(const UsbipConnection&) = delete;
  UsbipConnection& operator=(const UsbipConnection&) = delete;

  void Start();
  // Waits up to `ms` for the host to close its end (as it does after a
  // detach); true when it did.
  bool WaitEnded(int ms);
  // Shuts the socket (the host sees the device go if it had not yet), waits
  // for the reader and closes the descriptor.
  void Close();

  // Whether the reader has ended, and why ("host closed the connection", a
  // protocol error); for the caller's log.
  bool Ended();
  std::string EndReason();

 private:
  void ReadLoop();
  bool ReadExact(std::uint8_t* p, std::size_t n);
  bool Write(const std::vector<std::uint8_t>& bytes);
  void Submit(const Command& c, std::span<const std::uint8_t> payload);
  void End(const std::string& reason);

  int fd_;
  std::unique_ptr<UsbKeyboard> device_;
  Log log_;
  std::function<void()> onConfigured_;
  std::set<std::uint32_t> held_;  // reader thread only
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
  std::string reason_;
};

}  // namespace kbt::sim::usbip
