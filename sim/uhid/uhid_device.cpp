#include "sim/uhid/uhid_device.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace kbt::sim {
namespace {

// hid-core answers a failed report request with this errno to the hidraw
// caller; any non-zero value makes the ioctl fail.
constexpr std::uint16_t kReplyError = EIO;

}  // namespace

UhidDevice::~UhidDevice() {
  Destroy();
}

bool UhidDevice::Write(const void* event, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(event);
  ssize_t n;
  do {
    n = write(fd_, p, size);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size);
}

bool UhidDevice::Create(const UhidDeviceParams& params, SetHandler onSet, GetHandler onGet,
                        std::string& error) {
  if (params.descriptor.size() > HID_MAX_DESCRIPTOR_SIZE) {
    error = "report descriptor too long";
    return false;
  }
  onSet_ = std::move(onSet);
  onGet_ = std::move(onGet);
  fd_ = open("/dev/uhid", O_RDWR | O_CLOEXEC);
  if (fd_ < 0) {
    error = std::string("open /dev/uhid: ") + std::strerror(errno);
    return false;
  }
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  if (stopFd_ < 0) {
    error = std::string("eventfd: ") + std::strerror(errno);
    close(fd_);
    fd_ = -1;
    return false;
  }

  // uhid_event is ~4 KiB; keep it off the stack of callers with small ones.
  auto ev = std::make_unique<uhid_event>();
  std::memset(ev.get(), 0, sizeof(*ev));
  ev->type = UHID_CREATE2;
  auto& c = ev->u.create2;
  std::strncpy(reinterpret_cast<char*>(c.name), params.name.c_str(), sizeof(c.name) - 1);
  std::strncpy(reinterpret_cast<char*>(c.phys), params.phys.c_str(), sizeof(c.phys) - 1);
  c.rd_size = static_cast<std::uint16_t>(params.descriptor.size());
  c.bus = 0x03;  // BUS_USB, so that the device looks like what a keyboard is
  c.vendor = params.vendorId;
  c.product = params.productId;
  c.version = 0x0100;
  std::copy(params.descriptor.begin(), params.descriptor.end(), c.rd_data);
  if (!Write(ev.get(), sizeof(*ev))) {
    error = std::string("UHID_CREATE2: ") + std::strerror(errno);
    close(stopFd_);
    close(fd_);
    fd_ = stopFd_ = -1;
    return false;
  }
  reader_ = std::thread([this] { ReadLoop(); });
  return true;
}

void UhidDevice::Destroy() {
  if (fd_ < 0) return;
  uhid_event ev{};
  ev.type = UHID_DESTROY;
  // Returns once the kernel has removed the hid device (hidraw node and
  // removal uevents included); the reader keeps answering meanwhile.
  {
    std::lock_guard answering(answering_);
    Write(&ev, sizeof(ev));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof(one));
  if (reader_.joinable()) reader_.join();
  close(stopFd_);
  close(fd_);
  fd_ = stopFd_ = -1;
}

void UhidDevice::ReadLoop() {
  auto ev = std::make_unique<uhid_event>();
  auto reply = std::make_unique<uhid_event>();
  std::vector<std::uint8_t> data;
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) {
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
      continue;
    }
    const ssize_t n = read(fd_, ev.get(), sizeof(*ev));
    if (n <= 0) {
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return;
    }

    std::lock_guard answering(answering_);
    std::memset(reply.get(), 0, sizeof(*reply));
    switch (ev->type) {
      case UHID_SET_REPORT: {
        const auto& req = ev->u.set_report;
        const std::size_t size = std::min<std::size_t>(req.size, UHID_DATA_MAX);
        const Answer answer = req.rtype == UHID_FEATURE_REPORT
                                  ? onSet_(std::span<const std::uint8_t>(req.data, size))
                                  : Answer::Refuse;
        if (answer == Answer::None) break;
        reply->type = UHID_SET_REPORT_REPLY;
        reply->u.set_report_reply.id = req.id;
        reply->u.set_report_reply.err = answer == Answer::Accept ? 0 : kReplyError;
        Write(reply.get(), sizeof(*reply));
        break;
      }
      case UHID_GET_REPORT: {
        const auto& req = ev->u.get_report;
        data.clear();
        Answer answer = req.rtype == UHID_FEATURE_REPORT ? onGet_(req.rnum, data) : Answer::Refuse;
        if (answer == Answer::None) break;
        if (data.size() > UHID_DATA_MAX) answer = Answer::Refuse;
        const bool ok = answer == Answer::Accept;
        reply->type = UHID_GET_REPORT_REPLY;
        reply->u.get_report_reply.id = req.id;
        reply->u.get_report_reply.err = ok ? 0 : kReplyError;
        if (ok) {
          reply->u.get_report_reply.size = static_cast<std::uint16_t>(data.size());
          std::copy(data.begin(), data.end(), reply->u.get_report_reply.data);
        }
        Write(reply.get(), sizeof(*reply));
        break;
      }
      default:
        // UHID_START/STOP/OPEN/CLOSE and output reports (keyboard LEDs):
        // nothing to answer.
        break;
    }
  }
}

}  // namespace kbt::sim
