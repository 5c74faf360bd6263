// The update protocol, as a flat list of named steps on one keyboard. Every
// Command report goes out as its 6 bytes: a HID layer that passes lengths
// through unchecked (hidraw does) would otherwise hand a 6-byte interface
// 2050 bytes.
//
// The first sending of block 0 holds image byte 0 at 0x00, so that a device
// cut off mid-way finds no valid application and stays in update mode; the
// true byte goes last, behind a new write window.
#include "device/session.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

#include "device/protocol.h"
#include "device/sleep.h"

namespace kbt {

using namespace protocol;

namespace {

std::string BlockName(std::size_t k) {
  return "block " + std::to_string(k);
}

static_assert(UpdateSession::kRunSteps == 3 + 2 * static_cast<int>(kBlockCount));
static_assert(UpdateSession::kReadSteps == static_cast<int>(kBlockCount));

// "program block 3", or "program pass 2 of 5, block 3" for a repetition.
std::string PassText(const char* pass, int attempt, int attempts, int block) {
  if (attempt <= 1) return std::string(pass) + " block " + std::to_string(block);
  return std::string(pass) + " pass " + std::to_string(attempt) + " of " +
         std::to_string(attempts) + ", block " + std::to_string(block);
}

}  // namespace

int SessionProgress::Position() const {
  switch (stage) {
    case SessionStage::Begin:
      return 1;
    case SessionStage::Program:
      return 2 + block;
    case SessionStage::Verify:
      return 2 + static_cast<int>(kBlockCount) + block;
    case SessionStage::InformationBlock:
      return UpdateSession::kRunSteps - 1;
    case SessionStage::Finish:
      return UpdateSession::kRunSteps;
    case SessionStage::Read:
      return 1 + block;
  }
  return 0;
}

std::string SessionProgress::StageText() const {
  switch (stage) {
    case SessionStage::Begin:
      return "begin";
    case SessionStage::Program:
      return PassText("program", attempt, kProgramAttempts, block);
    case SessionStage::Verify:
      return PassText("verify", attempt, kVerifyAttempts, block);
    case SessionStage::InformationBlock:
      return "information block";
    case SessionStage::Finish:
      return "finish";
    case SessionStage::Read:
      return "read block " + std::to_string(block);
  }
  return {};
}

UpdateSession::UpdateSession(HidBackend& hid, SessionInterfaces interfaces,
                             const std::uint8_t* image, SessionSink* sink, CounterSource counter,
                             const std::atomic<bool>* cancel, Sleeper sleep)
    : hid_(hid),
      interfaces_(std::move(interfaces)),
      image_(image),
      sink_(sink),
      counter_(std::move(counter)),
      cancel_(cancel),
      sleep_(std::move(sleep)) {}

bool UpdateSession::StopRequested() {
  if (!cancelled_ && cancel_ && cancel_->load()) {
    cancelled_ = true;
    Note("interrupted: nothing more was sent");
  }
  return cancelled_;
}

HidResult UpdateSession::OpenPath(const DevicePath& path, std::unique_ptr<HidDevice>& out) {
  for (const HidInterfaceInfo& info : interfaces_.listed)
    if (info.path == path) return hid_.OpenListed(info, out);
  return hid_.Open(path, out);
}

bool UpdateSession::OpenInterface(const DevicePath& path, const std::string& name,
                                  std::unique_ptr<HidDevice>& out) {
  const HidResult open =
      path.empty() ? HidResult::Fail("no " + name + " interface") : OpenPath(path, out);
  if (open && out) return true;
  Note("open " + name + " interface: " + (open ? std::string("no device") : open.error));
  return false;
}

void UpdateSession::Note(const std::string& line) {
  if (sink_) sink_->Note(context_.empty() ? line : context_ + ", " + line);
}

void UpdateSession::Step(SessionStage stage, int block) {
  if (sink_) sink_->Step({stage, block, attempt_});
}

bool UpdateSession::Send(HidDevice* device, std::span<const std::uint8_t> report,
                         const std::string& what) {
  if (StopRequested()) return false;
  if (!device) {
    if (!what.empty()) Note(what + ": interface not open");
    return false;
  }
  const HidResult result = device->SetFeature(report);
  if (!result && !what.empty()) Note(what + ": set feature: " + result.error);
  return result.ok;
}

bool UpdateSession::Get(HidDevice* device, std::span<std::uint8_t> report,
                        const std::string& what) {
  if (StopRequested()) return false;
  if (!device) {
    if (!what.empty()) Note(what + ": interface not open");
    return false;
  }
  std::size_t received = 0;
  const HidResult result = device->GetFeature(report, received);
  if (!result) {
    if (!what.empty()) Note(what + ": get feature: " + result.error);
    return false;
  }
  if (received != report.size()) {
    if (!what.empty()) Note(what + ": get feature: short reply");
    return false;
  }
  return true;
}

int UpdateSession::ProgramPass(HidDevice& data, HidDevice* command) {
  if (!image_) return 0;
  if (!Send(command, kImageWriteWindow, "write window")) return 0;

  std::vector<std::uint8_t> report(kDataLength, 0);
  report[0] = kDataId;
  report[1] = kWriteData;
  for (std::size_t k = 0; k < kBlockCount; ++k) {
    std::copy_n(Block(image_, k), kBlockSize, report.begin() + 2);
    if (k == 0) report[2] = 0x00;  // the true byte 0 goes last
    if (!Send(&data, report, BlockName(k))) return 0;
    SleepMs(sleep_, kBlockWaitMs);
    Step(SessionStage::Program, static_cast<int>(k));
  }

  // Block 0 again with its true first byte, behind a new window at address
  // 0. Neither result is looked at; a lost block 0 shows in the Verify pass.
  (void)Send(command, kImageWriteWindow, "");
  std::fill(report.begin(), report.end(), 0);
  report[0] = kDataId;
  report[1] = kWriteData;
  std::copy_n(Block(image_, 0), kBlockSize, report.begin() + 2);
  (void)Send(&data, report, "");
  return 1;
}

int UpdateSession::VerifyPass(HidDevice& data, HidDevice* command) {
  if (!image_) return 0;
  if (!Send(command, kImageReadWindow, "read window")) return 0;

  // The request bytes are set once; later requests reuse the buffer as the
  // previous reply left it (its byte 0 is again report ID 6).
  std::vector<std::uint8_t> reply(kDataLength, 0);
  std::vector<std::uint8_t> compare(kBlockSize, 0);
  reply[0] = kDataId;
  reply[1] = kReadData;
  for (std::size_t k = 0; k < kBlockCount; ++k) {
    if (!Get(&data, reply, BlockName(k))) return 0;
    SleepMs(sleep_, kBlockWaitMs);
    // Before the comparison: a differing block still advanced the bar.
    Step(SessionStage::Verify, static_cast<int>(k));
    std::copy_n(Block(image_, k), kBlockSize, compare.begin());
    const auto [mine, theirs] = std::mismatch(compare.begin(), compare.end(), reply.begin() + 2);
    if (mine != compare.end()) {
      const std::size_t at = k * kBlockSize + static_cast<std::size_t>(mine - compare.begin());
      char text[96];
      std::snprintf(text, sizeof text, "%s: read-back differs at 0x%04zx (%02x, expected %02x)",
                    BlockName(k).c_str(), at, *theirs, *mine);
      Note(text);
      return 0;
    }
  }
  SleepMs(sleep_, kVerifyEndWaitMs);
  return 1;
}

bool UpdateSession::InformationBlockRewrite(HidDevice* command) {
  // Steps whose results are ignored say nothing in the notes.
  CommandReport buffer = kInfoReadWindow;
  (void)Send(command, buffer, "");

  // A failed read leaves the request's zeros as the four saved bytes.
  buffer = kInfoReadRequest;
  if (!Get(command, buffer, "")) buffer = kInfoReadRequest;
  const std::uint8_t b2 = buffer[2], b3 = buffer[3], b4 = buffer[4], b5 = buffer[5];
  (void)Get(command, buffer, "");

  buffer = kPrepareCommand;
  (void)Send(command, buffer, "");
  SleepMs(sleep_, kPrepareWaitMs);

  buffer = kInfoWriteWindow;
  (void)Send(command, buffer, "");
  buffer = {kCommandId, kWriteData, b2, b3, b4, b5};
  (void)Send(command, buffer, "");
  SleepMs(sleep_, kInfoWriteWaitMs);

  // A session stopped here takes no counter value: nothing would carry it.
  if (StopRequested()) return false;
  // Taken and advanced in one step: the counter moves on whatever the send's
  // result, and no two runs could ever write the same value.
  const std::uint16_t counter = counter_ ? counter_() : 0;
  counterWritten_ = counter;
  buffer = {kCommandId,
            kWriteData,
            0x01,
            0x00,
            static_cast<std::uint8_t>(counter >> 8),
            static_cast<std::uint8_t>(counter & 0xFF)};
  const bool ok = Send(command, buffer, "information block, update counter");
  Step(SessionStage::InformationBlock);
  return ok;
}

int UpdateSession::Run() {
  attempt_ = 1;
  context_.clear();
  if (StopRequested()) return kUpdateRunFailed;
  // Declared in this order so that every exit closes Data, then Command,
  // the order in which they were opened.
  std::unique_ptr<HidDevice> command;
  std::unique_ptr<HidDevice> data;
  const bool dataOpened = OpenInterface(interfaces_.data, "Data", data);
  // Without a Command interface the run goes on: its first command fails.
  if (!interfaces_.command.empty()) (void)OpenPath(interfaces_.command, command);
  if (!dataOpened) return kUpdateRunFailed;

  if (!Send(command.get(), kBeginCommand, "begin command")) return kUpdateRunFailed;
  Step(SessionStage::Begin);
  SleepMs(sleep_, kBeginWaitMs);

  if (!image_) {
    Note("no firmware image buffer");
    return kUpdateRunFailed;
  }

  bool programmed = false;
  for (int attempt = 1; attempt <= kProgramAttempts && !programmed && !cancelled_; ++attempt) {
    attempt_ = attempt;
    context_ = "program pass attempt " + std::to_string(attempt);
    programmed = ProgramPass(*data, command.get()) == 1;
  }
  context_.clear();
  if (!programmed) return kUpdateRunFailed;

  // The image is not written again between verify attempts.
  bool verified = false;
  for (int attempt = 1; attempt <= kVerifyAttempts && !verified && !cancelled_; ++attempt) {
    attempt_ = attempt;
    context_ = "verify pass attempt " + std::to_string(attempt);
    verified = VerifyPass(*data, command.get()) == 1;
  }
  context_.clear();
  attempt_ = 1;
  if (!verified) return kUpdateRunFailed;

  if (!InformationBlockRewrite(command.get())) return kUpdateRunFailed;
  if (!Send(command.get(), kFinishCommand, "finish command")) return kUpdateRunFailed;
  Step(SessionStage::Finish);
  return kUpdateRunOk;
}

}  // namespace kbt
