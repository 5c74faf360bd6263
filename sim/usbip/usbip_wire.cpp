#include "sim/usbip/usbip_wire.h"

#include <algorithm>

namespace kbt::sim::usbip {
namespace {

// A control transfer carries at most 65535 bytes; nothing of ours more.
constexpr std::int32_t kMaxTransfer = 65536;
// The host's own bound on isochronous packets per URB.
constexpr std::int32_t kMaxPackets = 1024;

std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

void Put32(std::uint8_t* b, std::uint32_t v) {
  b[0] = static_cast<std::uint8_t>(v >> 24);
  b[1] = static_cast<std::uint8_t>(v >> 16);
  b[2] = static_cast<std::uint8_t>(v >> 8);
  b[3] = static_cast<std::uint8_t>(v);
}

std::uint16_t Get16Le(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

}  // namespace

std::size_t Command::PayloadSize() const {
  if (command != kCmdSubmit) return 0;
  std::size_t size = direction == kDirOut ? static_cast<std::size_t>(transferLength) : 0;
  if (numberOfPackets > 0) size += static_cast<std::size_t>(numberOfPackets) * kIsoDescriptorSize;
  return size;
}

bool ParseCommand(std::span<const std::uint8_t, kHeaderSize> header, Command& out,
                  std::string& error) {
  out = Command{};
  out.command = Get32(header, 0);
  out.seqnum = Get32(header, 4);
  out.devid = Get32(header, 8);
  out.direction = Get32(header, 12);
  out.endpoint = Get32(header, 16);
  if (out.direction != kDirOut && out.direction != kDirIn) {
    error = "direction " + std::to_string(out.direction);
    return false;
  }
  if (out.endpoint > 15) {
    error = "endpoint " + std::to_string(out.endpoint);
    return false;
  }
  switch (out.command) {
    case kCmdSubmit: {
      out.transferFlags = Get32(header, 20);
      out.transferLength = static_cast<std::int32_t>(Get32(header, 24));
      out.numberOfPackets = static_cast<std::int32_t>(Get32(header, 32));
      out.interval = static_cast<std::int32_t>(Get32(header, 36));
      // Some hosts mark "not isochronous" with all ones instead of 0.
      if (out.numberOfPackets == -1) out.numberOfPackets = 0;
      if (out.transferLength < 0 || out.transferLength > kMaxTransfer) {
        error = "transfer length " + std::to_string(out.transferLength);
        return false;
      }
      if (out.numberOfPackets < 0 || out.numberOfPackets > kMaxPackets) {
        error = "number of packets " + std::to_string(out.numberOfPackets);
        return false;
      }
      out.setup.requestType = header[40];
      out.setup.request = header[41];
      out.setup.value = Get16Le(header, 42);
      out.setup.index = Get16Le(header, 44);
      out.setup.length = Get16Le(header, 46);
      return true;
    }
    case kCmdUnlink:
      out.unlinkSeqnum = Get32(header, 20);
      return true;
    default:
      error = "command " + std::to_string(out.command);
      return false;
  }
}

std::vector<std::uint8_t> RetSubmit(std::uint32_t seqnum, std::int32_t status,
                                    std::span<const std::uint8_t> inData,
                                    std::int32_t actualLength) {
  std::vector<std::uint8_t> out(kHeaderSize + inData.size(), 0);
  Put32(&out[0], kRetSubmit);
  Put32(&out[4], seqnum);
  Put32(&out[20], static_cast<std::uint32_t>(status));
  Put32(&out[24], static_cast<std::uint32_t>(actualLength));
  std::copy(inData.begin(), inData.end(), out.begin() + kHeaderSize);
  return out;
}

std::vector<std::uint8_t> RetUnlink(std::uint32_t seqnum, std::int32_t status) {
  std::vector<std::uint8_t> out(kHeaderSize, 0);
  Put32(&out[0], kRetUnlink);
  Put32(&out[4], seqnum);
  Put32(&out[20], static_cast<std::uint32_t>(status));
  return out;
}

std::array<std::uint8_t, kHeaderSize> EncodeCommand(const Command& c) {
  std::array<std::uint8_t, kHeaderSize> out{};
  Put32(&out[0], c.command);
  Put32(&out[4], c.seqnum);
  Put32(&out[8], c.devid);
  Put32(&out[12], c.direction);
  Put32(&out[16], c.endpoint);
  if (c.command == kCmdUnlink) {
    Put32(&out[20], c.unlinkSeqnum);
    return out;
  }
  Put32(&out[20], c.transferFlags);
  Put32(&out[24], static_cast<std::uint32_t>(c.transferLength));
  Put32(&out[32], static_cast<std::uint32_t>(c.numberOfPackets));
  Put32(&out[36], static_cast<std::uint32_t>(c.interval));
  out[40] = c.setup.requestType;
  out[41] = c.setup.request;
  out[42] = static_cast<std::uint8_t>(c.setup.value);
  out[43] = static_cast<std::uint8_t>(c.setup.value >> 8);
  out[44] = static_cast<std::uint8_t>(c.setup.index);
  out[45] = static_cast<std::uint8_t>(c.setup.index >> 8);
  out[46] = static_cast<std::uint8_t>(c.setup.length);
  out[47] = static_cast<std::uint8_t>(c.setup.length >> 8);
  return out;
}

Reply ParseReply(std::span<const std::uint8_t, kHeaderSize> header) {
  Reply r;
  r.command = Get32(header, 0);
  r.seqnum = Get32(header, 4);
  r.status = static_cast<std::int32_t>(Get32(header, 20));
  r.actualLength = static_cast<std::int32_t>(Get32(header, 24));
  return r;
}

}  // namespace kbt::sim::usbip
