// The simulated keyboard as a USB device: its descriptors and its answers to
// control transfers, for one enumeration (a new object at every arrival).
// Pure: it touches no socket and no kernel, so the whole USB face is tested
// on its own; the USB/IP connection (usbip_connection.h) carries it.
//
// The device is full speed with one configuration and one HID interface per
// interface the model presents, in the model's order, each with an
// interrupt-IN endpoint (0x81 for interface 0, 0x82 for interface 1): the
// kernel's usbhid binds no interface without one, and this device never has
// input to send, so those transfers are held until the host cancels them.
// The boot keyboard interface is subclass 1, protocol 1; its LED state
// comes as a SET_REPORT output request, which the device takes and ignores.
// Feature reports are class SET_REPORT/GET_REPORT requests with wValue
// 0x0300 | report ID; the bytes carry the report ID in byte 0.
//
// A device that was not configured yet (no SET_CONFIGURATION) has no
// interfaces: it stalls every control request to an interface or endpoint,
// as a real one would. That matters beyond form: the kernel's virtual host
// controller hands a request still queued for a device that left the port
// to the next device attached there, before its enumeration; stalled here,
// such a leftover never reaches the model.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "sim/keyboard_model.h"
#include "sim/usbip/usbip_wire.h"

namespace kbt::sim::usbip {

struct UsbKeyboardParams {
  std::vector<SimInterfaceDesc> interfaces;  // at least one; IDs from the first
  std::string product;
  std::string serial;  // empty: the device reports no serial number string
};

// The descriptors as the host reads them.
std::vector<std::uint8_t> DeviceDescriptor(const UsbKeyboardParams& params);
std::vector<std::uint8_t> ConfigurationDescriptor(const UsbKeyboardParams& params);
// String index 0 is the language list (US English); 1 the maker, 2 the
// product, 3 the serial number. Empty for an index the device does not have.
std::vector<std::uint8_t> StringDescriptor(const UsbKeyboardParams& params, std::uint8_t index);

class UsbKeyboard {
 public:
  // What the device does with a feature report: accept it, refuse it (a
  // stall: the host's call fails at once), or not answer (the host gives up
  // after its own time-out and cancels the transfer).
  enum class Answer { Accept, Refuse, None };
  using SetHandler = std::function<Answer(SimInterface, std::span<const std::uint8_t>)>;
  // `reply` comes sized to the interface's longest feature report, report ID
  // in byte 0; on Accept it holds the report (the host takes at most what it
  // asked for).
  using GetHandler =
      std::function<Answer(SimInterface, std::uint8_t id, std::vector<std::uint8_t>& reply)>;

  // The outcome of one transfer. Data: an IN transfer's bytes; for OUT,
  // `actual` is how many bytes were taken.
  struct Outcome {
    enum class Kind { Done, Stall, Hold } kind = Kind::Done;
    std::vector<std::uint8_t> data;
    std::int32_t actual = 0;
  };

  UsbKeyboard(UsbKeyboardParams params, SetHandler onSet, GetHandler onGet);

  // A control transfer on endpoint 0: the setup packet and, for OUT, its
  // data stage.
  Outcome Control(const Setup& setup, std::span<const std::uint8_t> out);
  // A transfer on another endpoint: the interrupt-IN endpoints of a
  // configured device hold it (nothing to report), and so does a device not
  // configured yet (the transfer was meant for the device that left the
  // port); the rest stall.
  Outcome Other(std::uint32_t endpoint, bool in) const;

  bool Configured() const { return configuration_ != 0; }
  // SET_REPORT output requests taken (the boot keyboard's LED state).
  int LedReports() const { return ledReports_; }
  std::uint8_t Leds() const { return leds_; }

 private:
  Outcome Standard(const Setup& setup, std::span<const std::uint8_t> out);
  Outcome Class(const Setup& setup, std::span<const std::uint8_t> out);
  // The interface a request names in wIndex, or null.
  const SimInterfaceDesc* InterfaceOf(const Setup& setup) const;

  UsbKeyboardParams params_;
  SetHandler onSet_;
  GetHandler onGet_;
  std::uint8_t configuration_ = 0;
  std::vector<std::uint8_t> idle_;
  int ledReports_ = 0;
  std::uint8_t leds_ = 0;
};

}  // namespace kbt::sim::usbip
