// What the simulated controller does with each report. The real device's
// internals lie outside this system; this is the behaviour the update
// protocol implies, made strict enough that a wrong report shows up as a
// failure rather than passing unnoticed:
//
// Normal operation, vendor interface (report 5, 6 bytes):
//   05 75 .. arms the entry; 05 AB .. right after it completes the
//   Enter-update-mode pair: the report is accepted, then the device leaves
//   the bus and comes back in update mode (unless refuseEntry). Any other
//   6-byte report 5 is accepted and ignored; a get answers 05 00 00 00 00 00.
// Update mode, Command interface (report 5, 6 bytes):
//   05 45 45 45 45 45  Begin: opens a session, closes both windows. The
//                      commands that change memory (write window, write
//                      data, Prepare) are refused before the first Begin;
//                      reading and Finish are not, so a keyboard can be read
//                      back without a byte written.
//   05 57 aL aH cL cH  Write window: address a, count c (low byte first),
//                      inside program memory 0x0000..0x37FF or inside the
//                      information block 0xFF80..0xFF87; anything else is
//                      refused. Writes that follow fill it from its start.
//   05 52 aL aH cL cH  Read window, the same for reads.
//   05 77 d0 d1 d2 d3  Write data: 4 bytes into the write window, which must
//                      lie in the information block and have 4 bytes left.
//   get 05             Read data: replies 05 72 and the next 4 bytes of the
//                      read window (information block only).
//   05 65 FF 00 00 00  Prepare: erases the information block to FF.
//   05 55 55 55 55 55  Finish: ends the session and leaves the bus; the
//                      device comes back running its application when
//                      program byte 0 is not 00, otherwise in update mode.
// Update mode, Data interface (report 6, 2050 bytes):
//   06 77 + 2048 bytes  Write data into the write window (program memory,
//                       2048 bytes left). No erase: bytes are overwritten.
//   get 06              Read data: replies 06 72 and the next 2048 bytes of
//                       the read window.
// A report of the wrong length or report ID, or a window overrun, is refused.
#include "sim/keyboard_model.h"

#include <algorithm>

namespace kbt::sim {
namespace {

constexpr std::uint8_t kCommandId = 0x05;
constexpr std::uint8_t kDataId = 0x06;
constexpr std::size_t kCommandLength = 6;
constexpr std::size_t kDataLength = 2 + kSimBlockSize;
constexpr std::size_t kCommandData = 4;

bool ArgsAre(std::span<const std::uint8_t> r, std::uint8_t a, std::uint8_t b, std::uint8_t c,
             std::uint8_t d) {
  return r[2] == a && r[3] == b && r[4] == c && r[5] == d;
}

}  // namespace

std::vector<std::uint8_t> ReportDescriptor(SimInterface kind) {
  switch (kind) {
    case SimInterface::NormalBoot:
      // The boot keyboard of the HID class definition: modifiers, a
      // reserved byte, five LEDs and six key codes. No feature report.
      return {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
              0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
              0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
              0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
              0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
    case SimInterface::NormalVendor:
    case SimInterface::Command:
      // Vendor page 0xFF00, feature report 5 of 5 bytes (6 with its ID).
      return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x05, 0x09, 0x02, 0x15,
              0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x05, 0xB1, 0x02, 0xC0};
    case SimInterface::Data:
      // Vendor page 0xFF00, feature report 6 of 2049 bytes (2050 with its ID).
      return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x06, 0x09, 0x03, 0x15,
              0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x01, 0x08, 0xB1, 0x02, 0xC0};
  }
  return {};
}

SimInterfaceDesc DescribeInterface(SimInterface kind) {
  switch (kind) {
    case SimInterface::NormalBoot:
      return {kind, kSimNormalVendorId, kSimNormalProductId, 0x0001, 0};
    case SimInterface::NormalVendor:
      return {kind, kSimNormalVendorId, kSimNormalProductId, 0xFF00, kCommandLength};
    case SimInterface::Data:
      return {kind, kSimUpdateVendorId, kSimUpdateProductId, 0xFF00, kDataLength};
    case SimInterface::Command:
      return {kind, kSimUpdateVendorId, kSimUpdateProductId, 0xFF00, kCommandLength};
  }
  return {};
}

KeyboardModel::KeyboardModel(SimMode start) : mode_(start) {
  // Some application: byte 0 is not 00, so it starts after power-on.
  for (std::size_t i = 0; i < program_.size(); ++i)
    program_[i] = static_cast<std::uint8_t>(i * 7 + 3);
  program_[0] = 0x02;
  info_ = {0x4B, 0x42, 0x10, 0x03, 0x01, 0x00, 0x00, 0x07};
}

void KeyboardModel::SetFaults(const SimFaults& faults) {
  faults_ = faults;
  counting_ = false;
  reportCount_ = 0;
}

std::vector<SimInterfaceDesc> KeyboardModel::Interfaces() const {
  if (!onBus_) return {};
  if (mode_ == SimMode::Normal)
    return {DescribeInterface(SimInterface::NormalBoot),
            DescribeInterface(SimInterface::NormalVendor)};
  return {DescribeInterface(SimInterface::Data), DescribeInterface(SimInterface::Command)};
}

bool KeyboardModel::SetFeature(SimInterface kind, std::span<const std::uint8_t> report) {
  if (!onBus_) return false;
  const bool normal = kind == SimInterface::NormalBoot || kind == SimInterface::NormalVendor;
  if (normal != (mode_ == SimMode::Normal)) return false;
  switch (kind) {
    case SimInterface::NormalBoot:
      return false;
    case SimInterface::NormalVendor:
      return SetNormalVendor(report);
    case SimInterface::Command:
      return PassesFaults(kind, report, false) && SetCommand(report);
    case SimInterface::Data:
      return PassesFaults(kind, report, false) && SetData(report);
  }
  return false;
}

bool KeyboardModel::GetFeature(SimInterface kind, std::span<std::uint8_t> report,
                               std::size_t& received) {
  received = 0;
  if (!onBus_) return false;
  const bool normal = kind == SimInterface::NormalBoot || kind == SimInterface::NormalVendor;
  if (normal != (mode_ == SimMode::Normal)) return false;
  bool ok = false;
  switch (kind) {
    case SimInterface::NormalBoot:
      return false;
    case SimInterface::NormalVendor:
      if (report.size() != kCommandLength || report[0] != kCommandId) return false;
      std::fill(report.begin() + 1, report.end(), 0);
      ok = true;
      break;
    case SimInterface::Command:
      ok = PassesFaults(kind, report, true) && GetCommand(report);
      break;
    case SimInterface::Data:
      ok = PassesFaults(kind, report, true) && GetData(report);
      break;
  }
  if (ok) received = report.size();
  return ok;
}

bool KeyboardModel::PassesFaults(SimInterface kind, std::span<const std::uint8_t> report,
                                 bool isGet) {
  // The count starts at the first command that opens an exchange: the
  // Begin of an update, or the first read window of a read-back.
  if (!counting_ && !isGet && kind == SimInterface::Command && report.size() >= 2 &&
      (report[1] == 0x45 || report[1] == 0x52))
    counting_ = true;
  if (!counting_) return true;
  const int n = ++reportCount_;
  if (faults_.unplugAt == n) {
    Unplug();
    return false;
  }
  if (faults_.failFrom > 0 && n >= faults_.failFrom) return false;
  if (faults_.failOnce == n) return false;
  return true;
}

bool KeyboardModel::SetNormalVendor(std::span<const std::uint8_t> report) {
  if (report.size() != kCommandLength || report[0] != kCommandId) return false;
  if (report[1] == 0x75) {
    entryArmed_ = true;
    return true;
  }
  const bool completesPair = report[1] == 0xAB && entryArmed_;
  entryArmed_ = false;
  if (completesPair && !faults_.refuseEntry) {
    // The report is acknowledged before the controller restarts into its
    // update-mode firmware; the host sees it leave right after.
    ++entries_;
    Leave(SimMode::Update, true);
  }
  return true;
}

bool KeyboardModel::OpenWindow(Window& window, std::span<const std::uint8_t> report) {
  const std::uint32_t address = report[2] | (report[3] << 8);
  const std::uint32_t count = report[4] | (report[5] << 8);
  if (count == 0 || !Memory(address, count)) return false;
  window = {address, count};
  return true;
}

std::uint8_t* KeyboardModel::Memory(std::uint32_t address, std::size_t count) {
  if (address + count <= kSimProgramSize) return program_.data() + address;
  if (address >= kSimInfoAddress && address + count <= kSimInfoAddress + kSimInfoSize)
    return info_.data() + (address - kSimInfoAddress);
  return nullptr;
}

bool KeyboardModel::SetCommand(std::span<const std::uint8_t> r) {
  if (r.size() != kCommandLength || r[0] != kCommandId) return false;
  if (r[1] == 0x45) {
    if (!ArgsAre(r, 0x45, 0x45, 0x45, 0x45)) return false;
    session_ = true;
    write_ = {};
    read_ = {};
    return true;
  }
  switch (r[1]) {
    case 0x57:
      return session_ && OpenWindow(write_, r);
    case 0x52:
      return OpenWindow(read_, r);
    case 0x77: {
      if (!session_ || write_.remaining < kCommandData || write_.address < kSimInfoAddress)
        return false;
      std::copy_n(r.begin() + 2, kCommandData, Memory(write_.address, kCommandData));
      write_.address += kCommandData;
      write_.remaining -= kCommandData;
      return true;
    }
    case 0x65:
      if (!session_ || !ArgsAre(r, 0xFF, 0x00, 0x00, 0x00)) return false;
      info_.fill(0xFF);
      return true;
    case 0x55:
      if (!ArgsAre(r, 0x55, 0x55, 0x55, 0x55)) return false;
      ++finishes_;
      Leave(program_[0] != 0x00 ? SimMode::Normal : SimMode::Update, true);
      return true;
    default:
      return false;
  }
}

bool KeyboardModel::SetData(std::span<const std::uint8_t> r) {
  if (r.size() != kDataLength || r[0] != kDataId || r[1] != 0x77 || !session_) return false;
  if (write_.remaining < kSimBlockSize || write_.address >= kSimProgramSize) return false;
  if (faults_.rejectBlock >= 0 &&
      write_.address == static_cast<std::uint32_t>(faults_.rejectBlock) * kSimBlockSize)
    return false;
  std::copy_n(r.begin() + 2, kSimBlockSize, Memory(write_.address, kSimBlockSize));
  write_.address += kSimBlockSize;
  write_.remaining -= kSimBlockSize;
  return true;
}

bool KeyboardModel::GetCommand(std::span<std::uint8_t> r) {
  if (r.size() != kCommandLength || r[0] != kCommandId) return false;
  if (read_.remaining < kCommandData || read_.address < kSimInfoAddress) return false;
  r[1] = 0x72;
  std::copy_n(Memory(read_.address, kCommandData), kCommandData, r.begin() + 2);
  read_.address += kCommandData;
  read_.remaining -= kCommandData;
  return true;
}

bool KeyboardModel::GetData(std::span<std::uint8_t> r) {
  if (r.size() != kDataLength || r[0] != kDataId) return false;
  if (read_.remaining < kSimBlockSize || read_.address >= kSimProgramSize) return false;
  r[1] = 0x72;
  std::copy_n(Memory(read_.address, kSimBlockSize), kSimBlockSize, r.begin() + 2);
  if (faults_.corruptBlock >= 0 &&
      read_.address == static_cast<std::uint32_t>(faults_.corruptBlock) * kSimBlockSize)
    r[kDataLength - 1] ^= 0xFF;
  read_.address += kSimBlockSize;
  read_.remaining -= kSimBlockSize;
  return true;
}

void KeyboardModel::Leave(SimMode comeBackAs, bool comesBack) {
  onBus_ = false;
  pendingMode_ = comeBackAs;
  entryArmed_ = false;
  session_ = false;
  write_ = {};
  read_ = {};
  Emit({BusChange::Kind::Leave, comeBackAs, comesBack});
}

void KeyboardModel::Arrive() {
  if (onBus_) return;
  mode_ = pendingMode_;
  onBus_ = true;
  Emit({BusChange::Kind::Arrive, mode_, true});
}

void KeyboardModel::Unplug() {
  if (!onBus_) return;
  Leave(program_[0] != 0x00 ? SimMode::Normal : SimMode::Update, false);
}

void KeyboardModel::PlugIn() {
  if (onBus_) return;
  pendingMode_ = program_[0] != 0x00 ? SimMode::Normal : SimMode::Update;
  Arrive();
}

void KeyboardModel::Emit(const BusChange& change) {
  if (listener_) listener_(change);
}

}  // namespace kbt::sim
