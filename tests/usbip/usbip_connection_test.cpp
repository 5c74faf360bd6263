// The USB/IP connection with the test as the host's virtual controller on
// the other end of a socketpair: answers in the host's order, held
// interrupt-IN and unanswered transfers given back only by an unlink, and
// never an answer for a URB the host has unlinked.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <set>
#include <vector>

#include "sim/usbip/usbip_connection.h"

namespace kbt::sim::usbip {
namespace {

using Bytes = std::vector<std::uint8_t>;
// gtest fixtures have a Setup of their own.
using UsbSetup = Setup;

struct Answer {
  Reply reply;
  Bytes data;
};

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    host_ = sv[1];
    UsbKeyboardParams params{
        {DescribeInterface(SimInterface::Data), DescribeInterface(SimInterface::Command)},
        "KBT simulated keyboard (update mode)",
        "HK0001"};
    auto device = std::make_unique<UsbKeyboard>(
        params,
        [this](SimInterface, std::span<const std::uint8_t> report) {
          std::lock_guard guard(mutex_);
          sets_.emplace_back(report.begin(), report.end());
          return report.size() > 1 && report[1] == 0x99 ? UsbKeyboard::Answer::None
                                                        : UsbKeyboard::Answer::Accept;
        },
        [](SimInterface, std::uint8_t, Bytes&) { return UsbKeyboard::Answer::Refuse; });
    connection_ = std::make_unique<UsbipConnection>(sv[0], std::move(device),
                                                    [this](const std::string& line) {
                                                      std::lock_guard guard(mutex_);
                                                      log_.push_back(line);
                                                    });
    connection_->Start();
  }
  void TearDown() override {
    connection_.reset();
    close(host_);
  }

  void Send(Command c, const Bytes& out = {}) {
    c.devid = 0x00010002;
    if (c.command == kCmdSubmit)
      c.transferLength =
          static_cast<std::int32_t>(c.direction == kDirOut ? out.size() : c.setup.length);
    const auto header = EncodeCommand(c);
    Bytes bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), out.begin(), out.end());
    ASSERT_EQ(write(host_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void Control(std::uint32_t seqnum, UsbSetup setup, const Bytes& out = {}) {
    Command c;
    c.command = kCmdSubmit;
    c.seqnum = seqnum;
    c.direction = setup.In() ? kDirIn : kDirOut;
    c.setup = setup;
    Send(c, out);
  }
  void InterruptIn(std::uint32_t seqnum, std::uint32_t endpoint) {
    Command c;
    c.command = kCmdSubmit;
    c.seqnum = seqnum;
    c.direction = kDirIn;
    c.endpoint = endpoint;
    c.setup.length = 64;
    Send(c);
  }
  void Unlink(std::uint32_t seqnum, std::uint32_t victim) {
    Command c;
    c.command = kCmdUnlink;
    c.seqnum = seqnum;
    c.unlinkSeqnum = victim;
    Send(c);
  }
  // The next answer, or false when none comes within `ms`.
  bool Next(Answer& a, int ms = 2000) {
    pollfd p{host_, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return false;
    std::array<std::uint8_t, kHeaderSize> header{};
    if (!ReadAll(header.data(), header.size())) return false;
    a.reply = ParseReply(header);
    a.data.assign(
        a.reply.command == kRetSubmit && a.reply.actualLength > 0 && in_.count(a.reply.seqnum)
            ? static_cast<std::size_t>(a.reply.actualLength)
            : 0,
        0);
    return a.data.empty() || ReadAll(a.data.data(), a.data.size());
  }
  bool ReadAll(std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      const ssize_t got = read(host_, p, n);
      if (got <= 0) return false;
      p += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

  int host_ = -1;
  std::unique_ptr<UsbipConnection> connection_;
  std::mutex mutex_;
  std::vector<Bytes> sets_;
  std::vector<std::string> log_;
  std::set<std::uint32_t> in_;  // seqnums of IN transfers: their answers carry data
};

const UsbSetup kDeviceDescriptor{0x80, 0x06, 0x0100, 0, 18};
const UsbSetup kConfigure{0x00, 0x09, 1, 0, 0};
const UsbSetup kSetCommand{0x21, 0x09, 0x0305, 1, 6};

TEST_F(ConnectionTest, AnswersInOrderAndHoldsWhatHasNothingToSay) {
  in_ = {1};
  // A request left over from the port's previous device: stalled.
  Control(7, kSetCommand, {0x05, 0xAB, 0, 0, 0, 0});
  Answer a;
  ASSERT_TRUE(Next(a));
  EXPECT_EQ(a.reply.command, kRetSubmit);
  EXPECT_EQ(a.reply.seqnum, 7u);
  EXPECT_EQ(a.reply.status, kStatusStall);

  Control(1, kDeviceDescriptor);
  ASSERT_TRUE(Next(a));
  EXPECT_EQ(a.reply.seqnum, 1u);
  EXPECT_EQ(a.reply.status, kStatusOk);
  ASSERT_EQ(a.data.size(), 18u);
  EXPECT_EQ(a.data[8] | a.data[9] << 8, 0x0603);

  Control(2, kConfigure);
  ASSERT_TRUE(Next(a));
  EXPECT_EQ(a.reply.seqnum, 2u);
  InterruptIn(3, 1);
  InterruptIn(4, 2);
  Control(5, kSetCommand, {0x05, 0x45, 0, 0, 0, 0});
  // The interrupt-IN transfers stay held: the next answer is the report's.
  ASSERT_TRUE(Next(a));
  EXPECT_EQ(a.reply.seqnum, 5u);
  EXPECT_EQ(a.reply.status, kStatusOk);
  EXPECT_EQ(a.reply.actualLength, 6);
  {
    std::lock_guard guard(mutex_);
    EXPECT_EQ(sets_, (std::vector<Bytes>{{0x05, 0x45, 0, 0, 0, 0}}));
    EXPECT_NE(std::find(log_.begin(), log_.end(), "configured"), log_.end());
  }

  // Unlinks: a held URB comes back as reset, an answered one with 0; then
  // nothing more about either.
  Unlink(10, 3);
  ASSERT_TRUE(Next(a));
  EXPECT_EQ(a.reply.command, kRetUnlink);
  EXPECT_EQ(a.reply.seqnum, 10u);
  EXPECT_EQ(a.reply.status, kStatusUnlinked);
  Unlink(11, 5);
  ASSERT_TRUE(Next(a));
  EXPECT_EQ(a.reply.seqnum, 11u);
  EXPECT_EQ(a.reply.status, kStatusOk);
  Unlink(12, 3);  // twice: it is no longer held
  ASSERT_TRUE(Next(a));
  EXPECT_EQ(a.reply.status, kStatusOk);
  EXPECT_FALSE(Next(a, 200));
}

// A report the device leaves unanswered: the host gives up and unlinks it,
// and the device never answers it afterwards.
TEST_F(ConnectionTest, AnUnansweredReportEndsWithItsUnlinkOnly) {
  Control(1, kConfigure);
  Answer a;
  ASSERT_TRUE(Next(a));
  Control(2, kSetCommand, {0x05, 0x99, 0, 0, 0, 0});
  EXPECT_FALSE(Next(a, 300));
  Unlink(3, 2);
  ASSERT_TRUE(Next(a));
  EXPECT_EQ(a.reply.command, kRetUnlink);
  EXPECT_EQ(a.reply.status, kStatusUnlinked);
  // The next transfer is answered as usual.
  Control(4, kSetCommand, {0x05, 0x45, 0, 0, 0, 0});
  ASSERT_TRUE(Next(a));
  EXPECT_EQ(a.reply.command, kRetSubmit);
  EXPECT_EQ(a.reply.seqnum, 4u);
}

// A message this side cannot read: the stream is lost, the connection ends
// and says why; the host's close ends it too.
TEST_F(ConnectionTest, EndsOnAnUnreadableMessageOrTheHostsClose) {
  Command c;
  c.command = 9;
  Send(c);
  EXPECT_TRUE(connection_->WaitEnded(2000));
  EXPECT_EQ(connection_->EndReason(), "unreadable message from the host: command 9");

  TearDown();
  SetUp();
  shutdown(host_, SHUT_RDWR);
  EXPECT_TRUE(connection_->WaitEnded(2000));
  EXPECT_EQ(connection_->EndReason(), "the host closed the connection");
}

TEST(UsbipWire, ReadsTheHostsHeadersAndRefusesSizesNoHostSends) {
  Command c;
  c.command = kCmdSubmit;
  c.seqnum = 0x01020304;
  c.direction = kDirOut;
  c.transferLength = 2050;
  c.setup = {0x21, 0x09, 0x0306, 0, 2050};
  const auto bytes = EncodeCommand(c);
  // Big-endian header, little-endian setup packet.
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 8), (Bytes{0, 0, 0, 1, 1, 2, 3, 4}));
  EXPECT_EQ(Bytes(bytes.begin() + 40, bytes.end()),
            (Bytes{0x21, 0x09, 0x06, 0x03, 0x00, 0x00, 0x02, 0x08}));
  Command back;
  std::string error;
  ASSERT_TRUE(ParseCommand(bytes, back, error)) << error;
  EXPECT_EQ(back.seqnum, c.seqnum);
  EXPECT_EQ(back.setup.value, 0x0306);
  EXPECT_EQ(back.PayloadSize(), 2050u);

  const struct {
    const char* name;
    std::size_t at;
    std::uint8_t byte;
  } bad[] = {
      {"direction 2", 15, 2},
      {"endpoint 16", 19, 16},
      {"a transfer beyond 64 KiB", 25, 0x02},  // length 0x02000802
      {"a reply where a command belongs", 3, 3},
  };
  for (const auto& b : bad) {
    auto broken = bytes;
    broken[b.at] = b.byte;
    EXPECT_FALSE(ParseCommand(broken, back, error)) << b.name;
  }
  const Bytes ret = RetSubmit(5, kStatusStall, {}, 0);
  ASSERT_EQ(ret.size(), kHeaderSize);
  EXPECT_EQ(Bytes(ret.begin(), ret.begin() + 8), (Bytes{0, 0, 0, 3, 0, 0, 0, 5}));
  EXPECT_EQ(Bytes(ret.begin() + 20, ret.begin() + 24), (Bytes{0xFF, 0xFF, 0xFF, 0xE0}));
}

}  // namespace
}  // namespace kbt::sim::usbip
