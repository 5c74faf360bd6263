// One simulated keyboard on one vhci-hcd port: the device model, its USB
// face, and its comings and goings on the bus.
//
// The model decides; the unit only moves transfers and re-enumerates, as
// kbsim-uhid does over /dev/uhid:
//   - every feature report is answered on the connection's reader thread,
//     under the unit's lock around the model;
//   - a device that left the bus answers nothing more: requests to the
//     connection of an earlier arrival stall without reaching the model;
//   - bus changes are carried out by the unit's manager thread: a Leave
//     detaches the port (after --leave-ms when the device restarts by
//     itself, having answered the request that made it leave), and after
//     the re-enumeration delay a new connection is attached on the same
//     port, so the keyboard keeps its USB port path, as a real one does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/keyboard_model.h"
#include "sim/usbip/usbip_connection.h"
#include "sim/usbip/vhci.h"

namespace kbt::sim::usbip {

struct UnitOptions {
  int port = 0;  // vhci port number, from 1
  int enumDelayMs = 300;
  int unplugAt = 0;
  int inEntry = 0;
  int replugMs = 1000;
  int leaveMs = 200;
  int stallAt = 0;
  int stallInEntry = 0;
  // When set, replaces enumDelayMs for a restart: the keyboard aims to be
  // configured by the host again this long after it left, its own off-bus
  // time shortened by what the host's enumeration took at its previous
  // arrival (slow under software emulation).
  int returnMs = 0;
  bool updateMode = false;
  std::string serial;      // the USB serial number string; empty: none
  std::string memoryPath;  // program memory at power-on (14336 bytes)
  std::string tracePath;
  std::string dumpPath;
};

class UsbipUnit {
 public:
  using Log = std::function<void(const std::string&)>;

  UsbipUnit(UnitOptions options, Log log);
  ~UsbipUnit();  // Stop()
  UsbipUnit(const UsbipUnit&) = delete;
  UsbipUnit& operator=(const UsbipUnit&) = delete;

  // Finds the port, reads the memory file, opens the trace, puts the device
  // on the bus as it is at power-on and starts the manager. False with the
  // reason; nothing is left running then.
  bool Start(std::string& error);
  // The keyboard leaves the bus for good (a cable pulled); its dump is
  // written. Returns once the port is free.
  void Stop();

  const std::string& Location() const { return location_; }
  const UnitOptions& Options() const { return options_; }

 private:
  void Manage();
  // Under mutex_ (released meanwhile): a new connection for the interfaces
  // the model presents now, attached to the port.
  bool Present(std::unique_lock<std::mutex>& lock);
  // Under mutex_ (released meanwhile): detaches and closes the connection.
  void Remove(std::unique_lock<std::mutex>& lock);
  void ArmFaults();
  bool StallsNow(SimInterface kind);
  void Trace(SimInterface kind, bool get, const char* answer, const std::uint8_t* bytes,
             std::size_t count);
  bool WriteDump();
  UsbKeyboard::Answer OnSet(SimInterface kind, unsigned generation,
                            std::span<const std::uint8_t> report);
  UsbKeyboard::Answer OnGet(SimInterface kind, unsigned generation, std::uint8_t id,
                            std::vector<std::uint8_t>& reply);
  void Say(const std::string& text) { log_(location_ + ": " + text); }

  UnitOptions options_;
  Log log_;
  VhciPort port_;
  std::string location_;
  std::mutex mutex_;
  std::condition_variable changed_;
  KeyboardModel model_;
  unsigned generation_ = 0;  // one more at every Leave
  unsigned arrivals_ = 0;
  std::chrono::steady_clock::time_point attachedAt_;
  int enumerationMs_ = 0;  // attach to configuration, at the last arrival
  bool faultArmed_ = false;
  bool stallUsed_ = false;
  bool stallArmed_ = false;
  bool stopping_ = false;
  std::FILE* trace_ = nullptr;
  unsigned traceCount_ = 0;
  std::chrono::steady_clock::time_point beginAt_;
  std::deque<BusChange> changes_;
  std::unique_ptr<UsbipConnection> connection_;
  std::thread manager_;
};

}  // namespace kbt::sim::usbip
