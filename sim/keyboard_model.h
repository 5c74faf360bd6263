// The simulated keyboard controller: a device model, not a script. It keeps
// program memory, the information block and its protocol state, and answers
// whatever feature reports it is sent. It knows nothing of paths, threads,
// time or events; a transport puts it on a bus:
//   - SimBus (sim/sim_bus.h): in-process, behind the HidBackend seam;
//   - a /dev/uhid transport: one uhid device per interface, so that a Linux
//     kernel sees real hidraw nodes and sends real uevents.
//
// How a transport drives the model:
//   1. Construct it and set a BusListener. Present the interfaces that
//      Interfaces() lists (none while the device is off the bus), each with
//      its descriptor (ReportDescriptor) and a path that is NEW at every
//      arrival: a re-enumerated device never keeps its old paths.
//   2. Hand every feature report of an interface to SetFeature/GetFeature
//      with that interface's kind. The model checks report ID and length
//      like a device would; a false result is a report the device did not
//      accept (a stalled control transfer). Reports to an interface of an
//      earlier arrival must fail in the transport without reaching the model.
//   3. When the listener hears Leave: remove every interface at once. When
//      the change says the device comes back, wait the transport's
//      re-enumeration delay and call Arrive(); the listener then hears
//      Arrive and the transport presents Interfaces() again, with new paths.
//      A device unplugged by a fault (comesBack false) returns on PlugIn().
// The model is not thread-safe: the transport serialises every call (one
// lock). The listener runs inside SetFeature/GetFeature/Arrive/PlugIn/Unplug:
// it may record what happened but must not call back into the model.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace kbt::sim {

enum class SimMode { Normal, Update };

// The interfaces the device presents. Normal operation: a boot keyboard
// (usage page 1, no feature report) and a vendor-page 0xFF00 interface with
// the 6-byte report 5. Update mode: Data (report 6, 2050 bytes) and Command
// (report 5, 6 bytes), both on page 0xFF00, as 0x0603/0x1020.
enum class SimInterface { NormalBoot, NormalVendor, Data, Command };

// Our own pair for the keyboard in normal operation.
inline constexpr std::uint16_t kSimNormalVendorId = 0x4B54;
inline constexpr std::uint16_t kSimNormalProductId = 0x0101;
inline constexpr std::uint16_t kSimUpdateVendorId = 0x0603;
inline constexpr std::uint16_t kSimUpdateProductId = 0x1020;

inline constexpr std::size_t kSimProgramSize = 0x3800;
inline constexpr std::uint16_t kSimInfoAddress = 0xFF80;
inline constexpr std::size_t kSimInfoSize = 8;
inline constexpr std::size_t kSimBlockSize = 2048;

struct SimInterfaceDesc {
  SimInterface kind;
  std::uint16_t vendorId;
  std::uint16_t productId;
  std::uint16_t usagePage;
  std::uint16_t featureReportLength;  // report ID byte included; 0 for none
};

// The HID report descriptor of an interface (what a uhid device announces).
std::vector<std::uint8_t> ReportDescriptor(SimInterface kind);
SimInterfaceDesc DescribeInterface(SimInterface kind);

// Faults on demand. Report numbers count every report on the update-mode
// interfaces from the first Begin command or the first read window on (that
// report is report 1: an update counts from its Begin, a read-back from its
// image read window), repetitions included; 0 means off. A failing report never reaches the
// device's logic: nothing changes in the model.
struct SimFaults {
  int failOnce = 0;          // report N fails, once
  int failFrom = 0;          // report N and every later one fail; the device stays
  int unplugAt = 0;          // the device leaves the bus instead of answering N
  int rejectBlock = -1;      // every Data write of image block K (0..6) fails
  int corruptBlock = -1;     // every read-back of image block K differs in its last byte
  bool refuseEntry = false;  // the keyboard ignores the Enter-update-mode pair
  // The transport refuses to open the keyboard's interfaces, as Linux does
  // with hidraw nodes that no access rule gives the user. The model itself
  // never looks at it.
  bool noAccess = false;
};

struct BusChange {
  enum class Kind { Leave, Arrive };
  Kind kind = Kind::Leave;
  // Leave: the mode the device will come back in; Arrive: its mode now.
  SimMode mode = SimMode::Normal;
  // Leave only: false when the device was unplugged and comes back only on
  // PlugIn().
  bool comesBack = true;
};

class KeyboardModel {
 public:
  using BusListener = std::function<void(const BusChange&)>;

  explicit KeyboardModel(SimMode start = SimMode::Normal);

  void SetBusListener(BusListener listener) { listener_ = std::move(listener); }
  void SetFaults(const SimFaults& faults);  // also restarts the report count
  const SimFaults& Faults() const { return faults_; }

  bool OnBus() const { return onBus_; }
  SimMode Mode() const { return mode_; }
  // The interfaces present now, in the order a bus lists them; empty while
  // off the bus.
  std::vector<SimInterfaceDesc> Interfaces() const;

  // A feature report set on an interface: bytes as on the wire, byte 0 the
  // report ID. True when the device accepted it.
  bool SetFeature(SimInterface kind, std::span<const std::uint8_t> report);
  // A get request: byte 0 of `report` is the wanted report ID, the rest is
  // not looked at. On success the reply fills the whole buffer (report ID in
  // byte 0) and `received` is its length.
  bool GetFeature(SimInterface kind, std::span<std::uint8_t> report, std::size_t& received);

  // The end of a re-enumeration that the listener announced with comesBack.
  void Arrive();
  // Pulling the cable, and plugging it in again: at power-on the device
  // starts its application when program byte 0 is not 0x00, and otherwise
  // stays in update mode.
  void Unplug();
  void PlugIn();

  std::array<std::uint8_t, kSimProgramSize>& Program() { return program_; }
  std::array<std::uint8_t, kSimInfoSize>& InfoBlock() { return info_; }
  // Reports counted since the first Begin (see SimFaults).
  int ReportCount() const { return reportCount_; }
  // Completed update-mode entries and Finish commands, for tests.
  int Entries() const { return entries_; }
  int Finishes() const { return finishes_; }

 private:
  struct Window {
    std::uint32_t address = 0;
    std::uint32_t remaining = 0;
  };

  bool SetNormalVendor(std::span<const std::uint8_t> report);
  bool SetCommand(std::span<const std::uint8_t> report);
  bool SetData(std::span<const std::uint8_t> report);
  bool GetCommand(std::span<std::uint8_t> report);
  bool GetData(std::span<std::uint8_t> report);
  // Counts a report of the update-mode interfaces and applies the report
  // faults; false when the report must fail without reaching the device.
  bool PassesFaults(SimInterface kind, std::span<const std::uint8_t> report, bool isGet);
  bool OpenWindow(Window& window, std::span<const std::uint8_t> report);
  std::uint8_t* Memory(std::uint32_t address, std::size_t count);
  void Leave(SimMode comeBackAs, bool comesBack);
  void Emit(const BusChange& change);

  BusListener listener_;
  SimFaults faults_;
  SimMode mode_;
  SimMode pendingMode_ = SimMode::Normal;
  bool onBus_ = true;
  bool entryArmed_ = false;  // a 0x75 report came; 0xAB completes the pair
  bool session_ = false;     // a Begin command came since arrival
  Window write_;
  Window read_;
  bool counting_ = false;
  int reportCount_ = 0;
  int entries_ = 0;
  int finishes_ = 0;
  std::array<std::uint8_t, kSimProgramSize> program_{};
  std::array<std::uint8_t, kSimInfoSize> info_{};
};

}  // namespace kbt::sim
