// The USB/IP messages between the kernel's virtual host controller
// (vhci-hcd) and a device on the other end of its socket, once the device is
// attached. Every message starts with a 48-byte header of big-endian 32-bit
// fields (the setup packet inside it is the USB's own little-endian bytes):
//
//   offset  CMD_SUBMIT (host)        RET_SUBMIT (device)  CMD_UNLINK     RET_UNLINK
//   0       command 1                command 3            command 2      command 4
//   4       seqnum                   seqnum of the URB    seqnum         seqnum of the CMD_UNLINK
//   8       devid                    0                    devid          0
//   12      direction (0 out, 1 in)  0                    direction      0
//   16      endpoint number          0                    endpoint       0
//   20      transfer_flags           status (-errno)      unlink seqnum  status
//   24      transfer_buffer_length   actual_length        padding        padding
//   28      start_frame              start_frame
//   32      number_of_packets        number_of_packets
//   36      interval                 error_count
//   40      setup packet (8 bytes)   padding
//
// A CMD_SUBMIT of an OUT transfer is followed by its transfer_buffer_length
// bytes; a RET_SUBMIT of an IN transfer by its actual_length bytes.
// Isochronous transfers add packet descriptors (16 bytes each); this device
// has no isochronous endpoint, but a reader still steps over them to stay in
// step with the stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kbt::sim::usbip {

inline constexpr std::size_t kHeaderSize = 48;
inline constexpr std::size_t kIsoDescriptorSize = 16;

inline constexpr std::uint32_t kCmdSubmit = 1;
inline constexpr std::uint32_t kCmdUnlink = 2;
inline constexpr std::uint32_t kRetSubmit = 3;
inline constexpr std::uint32_t kRetUnlink = 4;

inline constexpr std::uint32_t kDirOut = 0;
inline constexpr std::uint32_t kDirIn = 1;

// The statuses a device sends back (negated errno values, as the kernel's
// URB status): a stalled endpoint, and a URB that was still pending when its
// unlink came.
inline constexpr std::int32_t kStatusOk = 0;
inline constexpr std::int32_t kStatusStall = -32;      // -EPIPE
inline constexpr std::int32_t kStatusUnlinked = -104;  // -ECONNRESET

// The USB setup packet of a control transfer.
struct Setup {
  std::uint8_t requestType = 0;  // bmRequestType
  std::uint8_t request = 0;      // bRequest
  std::uint16_t value = 0;       // wValue
  std::uint16_t index = 0;       // wIndex
  std::uint16_t length = 0;      // wLength

  bool In() const { return (requestType & 0x80) != 0; }
  // 0 standard, 1 class, 2 vendor.
  int Type() const { return (requestType >> 5) & 0x03; }
  // 0 device, 1 interface, 2 endpoint, 3 other.
  int Recipient() const { return requestType & 0x1F; }
};

// A host message as read from its header.
struct Command {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::uint32_t devid = 0;
  std::uint32_t direction = 0;
  std::uint32_t endpoint = 0;
  // CMD_SUBMIT
  std::uint32_t transferFlags = 0;
  std::int32_t transferLength = 0;
  std::int32_t numberOfPackets = 0;
  std::int32_t interval = 0;
  Setup setup;
  // CMD_UNLINK
  std::uint32_t unlinkSeqnum = 0;

  // The bytes that follow the header: OUT data, then packet descriptors.
  std::size_t PayloadSize() const;
};

// Reads a header; false (with the reason) for a command this side does not
// know or sizes no host sends, after which the stream cannot be trusted.
bool ParseCommand(std::span<const std::uint8_t, kHeaderSize> header, Command& out,
                  std::string& error);

// The answers, header and data, ready to write.
std::vector<std::uint8_t> RetSubmit(std::uint32_t seqnum, std::int32_t status,
                                    std::span<const std::uint8_t> inData,
                                    std::int32_t actualLength);
std::vector<std::uint8_t> RetUnlink(std::uint32_t seqnum, std::int32_t status);

// For tests, which play the host: the header of a command.
std::array<std::uint8_t, kHeaderSize> EncodeCommand(const Command& command);
// And read an answer back.
struct Reply {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::int32_t status = 0;
  std::int32_t actualLength = 0;
};
Reply ParseReply(std::span<const std::uint8_t, kHeaderSize> header);

}  // namespace kbt::sim::usbip
