// The read path on one keyboard: the image through its read window and the
// seven Data reads, the information block through its read window and two
// Command reads, then Finish. These reports only read; the ones that change
// the keyboard's memory (Begin, a write window, a write, Prepare) never go
// out from here, so a read cut short anywhere leaves the keyboard as it was.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "device/protocol.h"
#include "device/session.h"
#include "device/sleep.h"

namespace kbt {

using namespace protocol;

namespace {

constexpr std::size_t kInfoHalf = kInfoBlockSize / 2;  // 4 bytes per Command read

std::string ReplyIdNote(std::uint8_t id) {
  char text[48];
  std::snprintf(text, sizeof text, "reply carries report ID 0x%02x", id);
  return text;
}

}  // namespace

int UpdateSession::ReadPass(HidDevice& data, HidDevice* command, std::uint8_t* image) {
  if (!Send(command, kImageReadWindow, "read window")) return 0;
  std::vector<std::uint8_t> reply(kDataLength);
  for (std::size_t k = 0; k < kBlockCount; ++k) {
    // A fresh request each time: report ID and opcode, the rest zero.
    std::fill(reply.begin(), reply.end(), 0);
    reply[0] = kDataId;
    reply[1] = kReadData;
    const std::string what = "block " + std::to_string(k);
    if (!Get(&data, reply, what)) return 0;
    if (reply[0] != kDataId) {
      Note(what + ": " + ReplyIdNote(reply[0]));
      return 0;
    }
    std::copy_n(reply.begin() + 2, kBlockSize, image + k * kBlockSize);
    SleepMs(sleep_, kBlockWaitMs);
    Step(SessionStage::Read, static_cast<int>(k));
  }
  SleepMs(sleep_, kVerifyEndWaitMs);
  return 1;
}

bool UpdateSession::ReadInformationBlock(HidDevice* command,
                                         std::array<std::uint8_t, kInfoBlockSize>& block) {
  if (!Send(command, kInfoReadWindow, "information block read window")) return false;
  for (std::size_t half = 0; half < 2; ++half) {
    CommandReport buffer = kInfoReadRequest;
    const std::string what = "information block read " + std::to_string(half + 1);
    if (!Get(command, buffer, what)) return false;
    if (buffer[0] != kCommandId) {
      Note(what + ": " + ReplyIdNote(buffer[0]));
      return false;
    }
    std::copy_n(buffer.begin() + 2, kInfoHalf, block.begin() + half * kInfoHalf);
  }
  return true;
}

int UpdateSession::ReadBackRun(ReadBack& out) {
  out = ReadBack{};
  attempt_ = 1;
  context_.clear();
  if (StopRequested()) return kUpdateRunFailed;
  // Declared in this order so that every exit closes Data, then Command.
  std::unique_ptr<HidDevice> command;
  std::unique_ptr<HidDevice> data;
  if (!OpenInterface(interfaces_.data, "Data", data) ||
      !OpenInterface(interfaces_.command, "Command", command))
    return kUpdateRunFailed;

  // Read into a buffer of its own: a pass that fails half way leaves no
  // half image in `out`.
  std::vector<std::uint8_t> image(kImageSize, 0);
  for (int attempt = 1; attempt <= kReadAttempts && !out.imageRead && !cancelled_; ++attempt) {
    attempt_ = attempt;
    context_ = "read pass attempt " + std::to_string(attempt);
    out.imageRead = ReadPass(*data, command.get(), image.data()) == 1;
  }
  if (out.imageRead) out.image = std::move(image);

  std::array<std::uint8_t, kInfoBlockSize> info{};
  for (int attempt = 1;
       out.imageRead && attempt <= kReadAttempts && !out.informationBlockRead && !cancelled_;
       ++attempt) {
    attempt_ = attempt;
    context_ = "information block attempt " + std::to_string(attempt);
    out.informationBlockRead = ReadInformationBlock(command.get(), info);
  }
  if (out.informationBlockRead) out.informationBlock = info;
  context_.clear();
  attempt_ = 1;

  // Finish also after a failed read: nothing was written, so the keyboard
  // may go back to the firmware it holds. A cancelled session sends nothing.
  if (!cancelled_) out.finished = Send(command.get(), kFinishCommand, "finish command");
  return out.imageRead && out.informationBlockRead && out.finished ? kUpdateRunOk
                                                                   : kUpdateRunFailed;
}

}  // namespace kbt
