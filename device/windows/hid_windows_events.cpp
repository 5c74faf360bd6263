#include "device/windows/hid_windows_events.h"

#include <winternl.h>  // NTSTATUS, which the HID headers take for granted

extern "C" {
#include <hidsdi.h>
}

#include <cstddef>
#include <cstring>
#include <thread>

#include "device/device_events.h"
#include "device/platform_hid.h"

namespace kbt {

// dbcc_size 32 with an empty name: the fixed part and one wide character,
// padded to the structure's 4-byte alignment.
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);

DeviceEvent TranslateDeviceChange(WPARAM event, LPARAM data) {
  DeviceEvent out;
  if (event == DBT_DEVICEARRIVAL) {
    out.kind = DeviceEvent::Kind::Arrival;
  } else if (event == DBT_DEVICEREMOVECOMPLETE) {
    out.kind = DeviceEvent::Kind::Removal;
  } else {
    out.kind = DeviceEvent::Kind::Other;
    return out;
  }
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  out.isDeviceInterface =
      header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
  if (!out.isDeviceInterface) return out;

  const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data);
  constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (iface->dbcc_size <= kNameOffset) return out;
  // The name ends at its zero or at the end of the broadcast, whichever
  // comes first.
  const std::size_t limit = (iface->dbcc_size - kNameOffset) / sizeof(wchar_t);
  const wchar_t* name = iface->dbcc_name;
  std::size_t length = 0;
  while (length < limit && name[length] != L'\0') ++length;
  out.path.assign(name, length);
  return out;
}

HDEVNOTIFY RegisterHidNotification(HWND window) {
  GUID hidGuid;
  HidD_GetHidGuid(&hidGuid);
  DEV_BROADCAST_DEVICEINTERFACE_W filter;
  std::memset(&filter, 0, sizeof(filter));
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = hidGuid;
  return RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

InterfaceBroadcast MakeInterfaceBroadcast(const DevicePath& path) {
  constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  const std::size_t size = kNameOffset + (path.size() + 1) * sizeof(wchar_t);
  InterfaceBroadcast out{std::make_unique<unsigned char[]>(size)};
  std::memset(out.bytes.get(), 0, size);
  DEV_BROADCAST_DEVICEINTERFACE_W* b = out.get();
  b->dbcc_size = static_cast<DWORD>(size);
  b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  HidD_GetHidGuid(&b->dbcc_classguid);
  // The name runs past the structure's one-character array, into the rest
  // of the allocation.
  std::memcpy(out.bytes.get() + kNameOffset, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  return out;
}

namespace {

// A message-only window on its own thread, registered for HID interface
// events, feeding a queue. The window ends with the source.
class WindowsDeviceEventSource final : public DeviceEventSource {
 public:
  WindowsDeviceEventSource() {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this, ready] { Run(ready); });
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
  }
  ~WindowsDeviceEventSource() override {
    if (threadId_ != 0) PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    thread_.join();
  }
  WindowsDeviceEventSource(const WindowsDeviceEventSource&) = delete;
  WindowsDeviceEventSource& operator=(const WindowsDeviceEventSource&) = delete;

  bool WaitEvent(DeviceEvent& out, unsigned timeoutMs) override {
    return queue_.WaitEvent(out, timeoutMs);
  }
  bool Registered() const { return registered_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE &&
        (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
      auto* self =
          reinterpret_cast<WindowsDeviceEventSource*>(GetWindowLongPtrW(window, GWLP_USERDATA));
      if (self != nullptr) self->queue_.Push(TranslateDeviceChange(wParam, lParam));
      return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  void Run(HANDLE ready) {
    threadId_ = GetCurrentThreadId();
    static const wchar_t kClass[] = L"KbtDeviceEvents";
    WNDCLASSW wc{};
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClass;
    RegisterClassW(&wc);  // fails harmlessly when a second source registers it again
    HWND window = CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);
    HDEVNOTIFY notify = nullptr;
    if (window != nullptr) {
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      notify = RegisterHidNotification(window);
    }
    registered_ = notify != nullptr;
    // The message queue exists before the creator may post WM_QUIT.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(ready);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    if (notify != nullptr) UnregisterDeviceNotification(notify);
    if (window != nullptr) DestroyWindow(window);
  }

  DeviceEventQueue queue_;
  std::thread thread_;
  DWORD threadId_ = 0;
  bool registered_ = false;
};

}  // namespace

std::unique_ptr<DeviceEventSource> MakePlatformDeviceEventSource() {
  auto source = std::make_unique<WindowsDeviceEventSource>();
  if (!source->Registered()) return nullptr;
  return source;
}

}  // namespace kbt
