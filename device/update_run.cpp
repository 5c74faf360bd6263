// The update protocol, as a flat list of named steps. Every Command report
// goes out as its 6 bytes: a HID layer that passes lengths through unchecked
// (hidraw does) would otherwise hand a 6-byte interface 2050 bytes.
//
// Image geometry: 7 blocks of 2048 bytes, each carried in bytes 2..2049 of
// one Data report. The first sending of block 0 holds image byte 0 at 0x00,
// so that a device cut off mid-way finds no valid application and stays in
// update mode; the true byte goes last, behind a new write window.
#include "device/update_run.h"
#include "device/workers.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "device/device_state.h"
#include "device/sleep.h"
#include "image/firmware_image.h"
#include "ui/status_outputs.h"

namespace kbt {
namespace {

constexpr std::size_t kCommandLength = kCommandFeatureLength;
constexpr std::size_t kDataLength = kDataFeatureLength;
constexpr std::size_t kBlockSize = 2048;
constexpr std::size_t kBlockCount = 7;
static_assert(kBlockSize * kBlockCount == kImageSize);
static_assert(kDataLength == 2 + kBlockSize);

constexpr std::uint8_t kCommandId = 0x05;
constexpr std::uint8_t kDataId = 0x06;
constexpr std::uint8_t kWriteData = 0x77;
constexpr std::uint8_t kReadData = 0x72;

using CommandReport = std::array<std::uint8_t, kCommandLength>;
static_assert(sizeof(CommandReport) == 6);

constexpr CommandReport kBeginCommand{0x05, 0x45, 0x45, 0x45, 0x45, 0x45};
// Windows: address and count, 16 bits each, low byte first.
constexpr CommandReport kImageWriteWindow{0x05, 0x57, 0x00, 0x00, 0x00, 0x38};
constexpr CommandReport kImageReadWindow{0x05, 0x52, 0x00, 0x00, 0x00, 0x38};
constexpr CommandReport kInfoReadWindow{0x05, 0x52, 0x80, 0xFF, 0x08, 0x00};
constexpr CommandReport kInfoReadRequest{0x05, 0x72, 0x00, 0x00, 0x00, 0x00};
constexpr CommandReport kPrepareCommand{0x05, 0x65, 0xFF, 0x00, 0x00, 0x00};
constexpr CommandReport kInfoWriteWindow{0x05, 0x57, 0x80, 0xFF, 0x08, 0x00};
constexpr CommandReport kFinishCommand{0x05, 0x55, 0x55, 0x55, 0x55, 0x55};

constexpr int kProgramAttempts = 5;
constexpr int kVerifyAttempts = 10;
constexpr unsigned kBeginWaitMs = 2000;
constexpr unsigned kBlockWaitMs = 10;
constexpr unsigned kVerifyEndWaitMs = 100;
constexpr unsigned kPrepareWaitMs = 200;
constexpr unsigned kInfoWriteWaitMs = 100;

class Notes {
 public:
  explicit Notes(RunNotes* out, std::string context = {})
      : out_(out), context_(std::move(context)) {}
  void Add(const std::string& what) const {
    if (out_) out_->push_back(context_.empty() ? what : context_ + ": " + what);
  }

 private:
  RunNotes* out_;
  std::string context_;
};

bool Send(HidDevice* device, std::span<const std::uint8_t> report, const Notes& notes,
          const char* what) {
  if (!device) {
    notes.Add(std::string(what) + ": interface not open");
    return false;
  }
  const HidResult result = device->SetFeature(report);
  if (!result) notes.Add(std::string(what) + ": set feature: " + result.error);
  return result.ok;
}

bool Get(HidDevice* device, std::span<std::uint8_t> report, const Notes& notes, const char* what) {
  if (!device) {
    notes.Add(std::string(what) + ": interface not open");
    return false;
  }
  std::size_t received = 0;
  const HidResult result = device->GetFeature(report, received);
  if (!result) {
    notes.Add(std::string(what) + ": get feature: " + result.error);
    return false;
  }
  if (received != report.size()) {
    notes.Add(std::string(what) + ": get feature: short reply");
    return false;
  }
  return true;
}

const std::uint8_t* Block(const std::uint8_t* image, std::size_t k) {
  return image + k * kBlockSize;
}

std::string BlockName(std::size_t k) {
  return "block " + std::to_string(k);
}

}  // namespace

int ProgramPass(HidDevice& data, HidDevice* command, RunNotes* notes) {
  const Notes n(notes);
  const std::uint8_t* image = g_ImageBuffer;
  if (!image) return 0;
  if (!Send(command, kImageWriteWindow, n, "write window")) return 0;

  std::vector<std::uint8_t> report(kDataLength, 0);
  report[0] = kDataId;
  report[1] = kWriteData;
  for (std::size_t k = 0; k < kBlockCount; ++k) {
    std::copy_n(Block(image, k), kBlockSize, report.begin() + 2);
    if (k == 0) report[2] = 0x00;  // the true byte 0 goes last
    if (!Send(&data, report, n, BlockName(k).c_str())) return 0;
    SleepMs(kBlockWaitMs);
    ProgressStep();
  }

  // Block 0 again with its true first byte, behind a new window at address
  // 0. Neither result is looked at; a lost block 0 shows in the Verify pass.
  (void)Send(command, kImageWriteWindow, Notes(nullptr), "");
  std::fill(report.begin(), report.end(), 0);
  report[0] = kDataId;
  report[1] = kWriteData;
  std::copy_n(Block(image, 0), kBlockSize, report.begin() + 2);
  (void)Send(&data, report, Notes(nullptr), "");
  return 1;
}

int VerifyPass(HidDevice& data, HidDevice* command, RunNotes* notes) {
  const Notes n(notes);
  const std::uint8_t* image = g_ImageBuffer;
  if (!image) return 0;
  if (!Send(command, kImageReadWindow, n, "read window")) return 0;

  // The request bytes are set once; later requests reuse the buffer as the
  // previous reply left it (its byte 0 is again report ID 6).
  std::vector<std::uint8_t> reply(kDataLength, 0);
  std::vector<std::uint8_t> compare(kBlockSize, 0);
  reply[0] = kDataId;
  reply[1] = kReadData;
  for (std::size_t k = 0; k < kBlockCount; ++k) {
    if (!Get(&data, reply, n, BlockName(k).c_str())) return 0;
    SleepMs(kBlockWaitMs);
    ProgressStep();  // before the comparison: a differing block still advanced the bar
    std::copy_n(Block(image, k), kBlockSize, compare.begin());
    const auto [mine, theirs] = std::mismatch(compare.begin(), compare.end(), reply.begin() + 2);
    if (mine != compare.end()) {
      const std::size_t at = k * kBlockSize + static_cast<std::size_t>(mine - compare.begin());
      char text[96];
      std::snprintf(text, sizeof text, "%s: read-back differs at 0x%04zx (%02x, expected %02x)",
                    BlockName(k).c_str(), at, *theirs, *mine);
      n.Add(text);
      return 0;
    }
  }
  SleepMs(kVerifyEndWaitMs);
  return 1;
}

bool InformationBlockRewrite(HidDevice* command, RunNotes* notes) {
  const Notes ignored(nullptr);
  CommandReport buffer = kInfoReadWindow;
  (void)Send(command, buffer, ignored, "");

  // A failed read leaves the request's zeros as the four saved bytes.
  buffer = kInfoReadRequest;
  if (!Get(command, buffer, ignored, "")) buffer = kInfoReadRequest;
  const std::uint8_t b2 = buffer[2], b3 = buffer[3], b4 = buffer[4], b5 = buffer[5];
  (void)Get(command, buffer, ignored, "");

  buffer = kPrepareCommand;
  (void)Send(command, buffer, ignored, "");
  SleepMs(kPrepareWaitMs);

  buffer = kInfoWriteWindow;
  (void)Send(command, buffer, ignored, "");
  buffer = {kCommandId, kWriteData, b2, b3, b4, b5};
  (void)Send(command, buffer, ignored, "");
  SleepMs(kInfoWriteWaitMs);

  // Taken and advanced in one step: the counter moves on whatever the send's
  // result, and no two runs could ever write the same value.
  const std::uint16_t counter = g_UpdateCounter.fetch_add(1);
  buffer = {kCommandId,
            kWriteData,
            0x01,
            0x00,
            static_cast<std::uint8_t>(counter >> 8),
            static_cast<std::uint8_t>(counter & 0xFF)};
  const bool ok = Send(command, buffer, Notes(notes), "information block, update counter");
  ProgressStep();
  return ok;
}

int UpdateRun(HidBackend& hid, RunNotes* notes) {
  const Notes n(notes);
  const DevicePaths paths = ReadDevicePaths();
  // Declared in this order so that every exit closes Data, then Command,
  // the order in which they were opened.
  std::unique_ptr<HidDevice> command;
  std::unique_ptr<HidDevice> data;
  // An empty path names no interface; it is never handed to the platform.
  const HidResult dataOpen =
      paths.data.empty() ? HidResult::Fail("no Data interface") : hid.Open(paths.data, data);
  if (!paths.command.empty()) (void)hid.Open(paths.command, command);
  if (!dataOpen || !data) {
    n.Add("open Data interface: " + (dataOpen ? std::string("no device") : dataOpen.error));
    return kUpdateRunFailed;
  }

  if (!Send(command.get(), kBeginCommand, n, "begin command")) return kUpdateRunFailed;
  ProgressStep();
  SleepMs(kBeginWaitMs);

  if (!g_ImageBuffer) {
    n.Add("no firmware image buffer");
    return kUpdateRunFailed;
  }

  bool programmed = false;
  for (int attempt = 1; attempt <= kProgramAttempts && !programmed; ++attempt) {
    RunNotes attemptNotes;
    programmed = ProgramPass(*data, command.get(), &attemptNotes) == 1;
    for (const auto& line : attemptNotes)
      n.Add("program pass attempt " + std::to_string(attempt) + ", " + line);
  }
  if (!programmed) return kUpdateRunFailed;

  // The image is not written again between verify attempts.
  bool verified = false;
  for (int attempt = 1; attempt <= kVerifyAttempts && !verified; ++attempt) {
    RunNotes attemptNotes;
    verified = VerifyPass(*data, command.get(), &attemptNotes) == 1;
    for (const auto& line : attemptNotes)
      n.Add("verify pass attempt " + std::to_string(attempt) + ", " + line);
  }
  if (!verified) return kUpdateRunFailed;

  if (!InformationBlockRewrite(command.get(), notes)) return kUpdateRunFailed;
  if (!Send(command.get(), kFinishCommand, n, "finish command")) return kUpdateRunFailed;
  ProgressStep();
  return kUpdateRunOk;
}

int UpdateRun(HidBackend& hid) {
  return UpdateRun(hid, nullptr);
}

}  // namespace kbt
