// Arrivals and removals of HID interfaces on Windows: WM_DEVICECHANGE after
// RegisterDeviceNotificationW. The dialog takes them from its own window;
// the command line gets them from MakePlatformDeviceEventSource, which runs
// a message-only window on a thread of its own. The demo builds simulated
// events with the same broadcast structure, so all travel one road.
#pragma once

#include <windows.h>

#include <dbt.h>

#include <memory>

#include "device/hid.h"

namespace kbt {

// The event of one WM_DEVICECHANGE message. A device-interface broadcast
// carries the interface path (read no further than dbcc_size allows).
DeviceEvent TranslateDeviceChange(WPARAM event, LPARAM data);

// Registers `window` for arrival and removal events of HID interfaces
// (DEVICE_NOTIFY_WINDOW_HANDLE: they come as WM_DEVICECHANGE messages).
// Null when the registration failed.
HDEVNOTIFY RegisterHidNotification(HWND window);

// A device-interface broadcast for `path` as the system delivers it:
// dbcc_size covers the name and its terminating zero.
struct InterfaceBroadcast {
  std::unique_ptr<unsigned char[]> bytes;
  DEV_BROADCAST_DEVICEINTERFACE_W* get() const {
    return reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.get());
  }
};
InterfaceBroadcast MakeInterfaceBroadcast(const DevicePath& path);

}  // namespace kbt
