// One HID device made by the kernel from /dev/uhid: the kernel gives it a
// hid device, hid-generic binds it, and a hidraw node and uevents appear as
// for a USB device. Feature reports asked for through hidraw come back here
// as UHID_GET_REPORT/UHID_SET_REPORT events and are answered by a handler on
// this device's own reader thread.
//
// Each device has its own file descriptor and thread: the kernel serialises
// report requests per uhid device and waits up to 5 s for each answer, and
// a UHID_DESTROY waits while a request is outstanding. With one thread for
// all devices, destroying one device from the thread that must answer
// another's request would stall for those 5 s.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace kbt::sim {

struct UhidDeviceParams {
  std::string name;
  // The kernel's HID_PHYS: where the device sits. A USB keyboard's
  // interfaces share the prefix before "/input<N>"; that prefix is how the
  // tool tells keyboards apart when no USB parent exists.
  std::string phys = "kbsim-uhid";
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::vector<std::uint8_t> descriptor;
};

class UhidDevice {
 public:
  // What the device does with a request: accept it, refuse it (the kernel
  // then fails the hidraw call with EIO), or not answer at all (the kernel
  // gives up after its own 5 s and fails the call).
  enum class Answer { Accept, Refuse, None };

  // A feature report set: the bytes as hidraw gave them (byte 0 the report
  // ID).
  using SetHandler = std::function<Answer(std::span<const std::uint8_t>)>;
  // A feature report get for report ID `reportId`: on Accept, `reply` holds
  // the report (report ID in byte 0: the device puts it there itself).
  using GetHandler = std::function<Answer(std::uint8_t reportId, std::vector<std::uint8_t>& reply)>;

  UhidDevice() = default;
  UhidDevice(const UhidDevice&) = delete;
  UhidDevice& operator=(const UhidDevice&) = delete;
  // Destroys the device if Destroy() was not called.
  ~UhidDevice();

  // Opens /dev/uhid, creates the device and starts the reader thread.
  bool Create(const UhidDeviceParams& params, SetHandler onSet, GetHandler onGet,
              std::string& error);
  // Removes the device from the kernel, stops the reader and closes the
  // descriptor. Blocks until the kernel has let the device go; must not be
  // called from this device's reader thread.
  void Destroy();

 private:
  void ReadLoop();
  bool Write(const void* event, std::size_t size);

  int fd_ = -1;
  int stopFd_ = -1;  // eventfd that ends the reader's poll
  std::thread reader_;
  // Held by the reader from a request to its reply, and by Destroy around
  // UHID_DESTROY: the kernel fails a request still outstanding when the
  // device goes, so a device that leaves the bus because of a request
  // (Finish, the Enter-update-mode pair) answers that request first, as a
  // real controller does before it restarts.
  std::mutex answering_;
  SetHandler onSet_;
  GetHandler onGet_;
};

}  // namespace kbt::sim
