#include "sim/usbip/usbip_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kbt::sim::usbip {

UsbipConnection::UsbipConnection(int fd, std::unique_ptr<UsbKeyboard> device, Log log,
                                 std::function<void()> onConfigured)
    : fd_(fd),
      device_(std::move(device)),
      log_(std::move(log)),
      onConfigured_(std::move(onConfigured)) {}

UsbipConnection::~UsbipConnection() {
  Close();
}

void UsbipConnection::Start() {
  reader_ = std::thread([this] { ReadLoop(); });
}

bool UsbipConnection::WaitEnded(int ms) {
  std::unique_lock lock(mutex_);
  return ended_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done_; });
}

void UsbipConnection::Close() {
  if (fd_ < 0) return;
  shutdown(fd_, SHUT_RDWR);
  if (reader_.joinable()) reader_.join();
  close(fd_);
  fd_ = -1;
}

bool UsbipConnection::Ended() {
  std::lock_guard lock(mutex_);
  return done_;
}

std::string UsbipConnection::EndReason() {
  std::lock_guard lock(mutex_);
  return reason_;
}

void UsbipConnection::End(const std::string& reason) {
  std::lock_guard lock(mutex_);
  done_ = true;
  reason_ = reason;
  ended_.notify_all();
}

bool UsbipConnection::ReadExact(std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t got = read(fd_, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool UsbipConnection::Write(const std::vector<std::uint8_t>& bytes) {
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  while (n > 0) {
    const ssize_t sent = send(fd_, p, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<std::size_t>(sent);
  }
  return true;
}

void UsbipConnection::ReadLoop() {
  std::array<std::uint8_t, kHeaderSize> header{};
  std::vector<std::uint8_t> payload;
  for (;;) {
    if (!ReadExact(header.data(), header.size())) {
      End("the host closed the connection");
      return;
    }
    Command c;
    std::string error;
    if (!ParseCommand(header, c, error)) {
      End("unreadable message from the host: " + error);
      return;
    }
    payload.resize(c.PayloadSize());
    if (!payload.empty() && !ReadExact(payload.data(), payload.size())) {
      End("the host closed the connection");
      return;
    }
    if (c.command == kCmdUnlink) {
      const bool wasHeld = held_.erase(c.unlinkSeqnum) > 0;
      if (!Write(RetUnlink(c.seqnum, wasHeld ? kStatusUnlinked : kStatusOk))) {
        End("the host closed the connection");
        return;
      }
      continue;
    }
    const std::size_t outLength =
        c.direction == kDirOut ? static_cast<std::size_t>(c.transferLength) : 0;
    Submit(c, std::span<const std::uint8_t>(payload.data(), outLength));
  }
}

void UsbipConnection::Submit(const Command& c, std::span<const std::uint8_t> out) {
  UsbKeyboard::Outcome outcome;
  if (c.endpoint == 0) {
    const bool wasConfigured = device_->Configured();
    const int leds = device_->LedReports();
    outcome = device_->Control(c.setup, out);
    if (!wasConfigured && device_->Configured()) {
      log_("configured");
      if (onConfigured_) onConfigured_();
    }
    if (device_->LedReports() != leds) {
      char text[48];
      std::snprintf(text, sizeof text, "keyboard LEDs set to 0x%02x", device_->Leds());
      log_(text);
    }
    if (!wasConfigured && c.setup.Recipient() != 0) {
      // What a device that left this port had queued, handed on to this one.
      char text[96];
      std::snprintf(text, sizeof text,
                    "stalls a request before its configuration: %02x %02x wValue %04x wIndex %u",
                    c.setup.requestType, c.setup.request, c.setup.value, c.setup.index);
      log_(text);
    }
  } else {
    outcome = device_->Other(c.endpoint, c.direction == kDirIn);
  }
  switch (outcome.kind) {
    case UsbKeyboard::Outcome::Kind::Hold:
      held_.insert(c.seqnum);
      return;
    case UsbKeyboard::Outcome::Kind::Stall:
      Write(RetSubmit(c.seqnum, kStatusStall, {}, 0));
      return;
    case UsbKeyboard::Outcome::Kind::Done: {
      std::vector<std::uint8_t>& data = outcome.data;
      if (c.direction == kDirIn && data.size() > static_cast<std::size_t>(c.transferLength))
        data.resize(static_cast<std::size_t>(c.transferLength));
      const std::int32_t actual =
          c.direction == kDirIn ? static_cast<std::int32_t>(data.size()) : outcome.actual;
      Write(RetSubmit(c.seqnum, kStatusOk,
                      c.direction == kDirIn ? data : std::vector<std::uint8_t>{}, actual));
      return;
    }
  }
}

}  // namespace kbt::sim::usbip
