// The HID seam on Windows: the device-installation services list the HID
// interfaces, the HID class services read their attributes and capabilities
// and carry the feature reports.
//
// The list holds every HID interface present, read through a handle without
// access rights (Windows keeps keyboard and mouse collections for itself and
// refuses them to a reader or writer). Opening for reading and writing, as
// discovery and the update do, then fails on those with "access denied".
//
// Feature reports travel with exactly the length of the caller's buffer: a
// 6-byte Command interface gets its 6 bytes, never a longer buffer.
//
// A listed interface is opened by its path alone (the seam's OpenListed):
// an interface path names the device instance, with its vendor and product
// IDs in it (\\?\hid#vid_0603&pid_1020&mi_01#<instance>#{class}), so unlike a
// Linux hidraw node it never passes to a device of other IDs. A keyboard of
// the same IDs re-enumerating at the same port may get the same path back;
// that is the same keyboard at the same place, which a check of IDs and
// location would let through as well.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#include <winternl.h>  // NTSTATUS, which the HID headers take for granted

// The DDK headers of mingw-w64 are plain C without their own linkage guard.
extern "C" {
#include <hidsdi.h>
}

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "device/hid.h"
#include "device/platform_hid.h"

namespace kbt {
namespace {

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
  return out;
}

// "<what>: <system text> (error N)" for the code of the failed call.
std::string ErrorText(const char* what, DWORD code) {
  std::string text = what;
  // The codes a detached or re-enumerating device answers with.
  if (code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_FILE_NOT_FOUND) text += ": device gone";
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  if (length > 0 && message != nullptr) {
    std::wstring body(message, length);
    while (!body.empty() && (body.back() == L'\n' || body.back() == L'\r' || body.back() == L' ' ||
                             body.back() == L'.'))
      body.pop_back();
    text += ": " + Narrow(body);
  }
  if (message != nullptr) LocalFree(message);
  text += " (error " + std::to_string(code) + ")";
  return text;
}

HidResult LastError(const char* what) {
  return HidResult::Fail(ErrorText(what, GetLastError()));
}

HANDLE OpenInterface(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

class WindowsHidDevice final : public HidDevice {
 public:
  explicit WindowsHidDevice(HANDLE handle) : handle_(handle) {}
  ~WindowsHidDevice() override { CloseHandle(handle_); }
  WindowsHidDevice(const WindowsHidDevice&) = delete;
  WindowsHidDevice& operator=(const WindowsHidDevice&) = delete;

  HidResult SetFeature(std::span<const std::uint8_t> report) override {
    if (report.empty()) return HidResult::Fail("HidD_SetFeature: empty report");
    // HidD_SetFeature takes a non-const buffer but only reads it.
    std::vector<std::uint8_t> bytes(report.begin(), report.end());
    if (!HidD_SetFeature(handle_, bytes.data(), static_cast<ULONG>(bytes.size())))
      return LastError("HidD_SetFeature");
    return HidResult::Ok();
  }

  HidResult GetFeature(std::span<std::uint8_t> report, std::size_t& received) override {
    received = 0;
    if (report.empty()) return HidResult::Fail("HidD_GetFeature: empty buffer");
    // The class driver answers with the whole report or fails; byte 0 names
    // the report wanted and comes back as the report ID.
    if (!HidD_GetFeature(handle_, report.data(), static_cast<ULONG>(report.size())))
      return LastError("HidD_GetFeature");
    received = report.size();
    return HidResult::Ok();
  }

 private:
  HANDLE handle_;
};

// Vendor/product pair, usage page and feature length of an open interface;
// false when the class driver could not tell.
bool ReadInterfaceInfo(HANDLE handle, HidInterfaceInfo& info) {
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  if (!HidD_GetAttributes(handle, &attributes)) return false;
  info.vendorId = attributes.VendorID;
  info.productId = attributes.ProductID;

  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(handle, &preparsed)) return false;
  HIDP_CAPS caps{};
  const NTSTATUS status = HidP_GetCaps(preparsed, &caps);
  HidD_FreePreparsedData(preparsed);
  if (status != HIDP_STATUS_SUCCESS) return false;
  info.usagePage = caps.UsagePage;
  info.featureReportLength = caps.FeatureReportByteLength;
  return true;
}

std::wstring InstanceId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
  return id;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return _wcsnicmp(text.c_str(), prefix, wcslen(prefix)) == 0;
}

// An instance ID without the parts that tell the interfaces and collections
// of one device apart ("&MI_01", "&COL02").
std::wstring WithoutInterfaceParts(std::wstring id) {
  for (const wchar_t* part : {L"&MI_", L"&COL"}) {
    for (std::size_t at; (at = id.find(part)) != std::wstring::npos;) {
      std::size_t end = at + 1;
      while (end < id.size() && id[end] != L'&' && id[end] != L'\\') ++end;
      id.erase(at, end - at);
    }
  }
  return id;
}

// Where the keyboard sits: the USB device the HID collection hangs under
// (the first ancestor "USB\..." that is not one interface of a composite
// device), by its location information ("Port_#0002.Hub_#0001"), which the
// keyboard keeps when it re-enumerates into update mode, or by its instance
// ID. Without a USB ancestor (Bluetooth, Wine's own bus), the parent's
// instance ID without its interface parts. Without any parent (Wine 8
// answers none for a HID device node), the HID node's own instance ID
// without its interface parts ("HID\VID_0603&PID_1020\0&0000&0&1"): the
// interfaces of one keyboard share it, and two keyboards never do (their
// instance parts differ by serial number or by index), so each keyboard is a
// place of its own.
std::string LocationOf(DEVINST hidNode) {
  DEVINST node = hidNode;
  DEVINST parent = 0;
  std::wstring firstParent;
  while (CM_Get_Parent(&parent, node, 0) == CR_SUCCESS) {
    node = parent;
    const std::wstring id = InstanceId(node);
    if (firstParent.empty()) firstParent = id;
    if (!StartsWith(id, L"USB\\") || id.find(L"&MI_") != std::wstring::npos) continue;
    wchar_t location[256] = {};
    ULONG size = sizeof(location);
    if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_INFORMATION, nullptr, location,
                                          &size, 0) == CR_SUCCESS &&
        location[0] != L'\0')
      return Narrow(location);
    return Narrow(id);
  }
  if (firstParent.empty()) return Narrow(WithoutInterfaceParts(InstanceId(hidNode)));
  return Narrow(WithoutInterfaceParts(firstParent));
}

// The serial number string, empty when the device has none (126 characters
// at most, as USB string descriptors go).
std::string SerialOf(HANDLE handle) {
  wchar_t serial[128] = {};
  if (!HidD_GetSerialNumberString(handle, serial, sizeof(serial) - sizeof(wchar_t))) return {};
  return Narrow(serial);
}

// The device path of interface `data` of `set`, asked for twice: once for
// the size, once with a buffer of that size; `device` receives the device
// the interface belongs to.
bool InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, std::wstring& path,
                   SP_DEVINFO_DATA& device) {
  DWORD size = 0;
  SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;
  // DWORD-aligned storage for the variable-length structure.
  std::vector<DWORD> storage((size + sizeof(DWORD) - 1) / sizeof(DWORD));
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
  // cbSize is the size of the fixed part, not of the buffer.
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  device.cbSize = sizeof(device);
  if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &device)) return false;
  path = detail->DevicePath;
  return true;
}

class WindowsHidBackend final : public HidBackend {
 public:
  HidResult Enumerate(std::vector<HidInterfaceInfo>& out) override {
    out.clear();
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set =
        SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return LastError("SetupDiGetClassDevsW");

    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof(data);
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &data)) break;

      HidInterfaceInfo info;
      SP_DEVINFO_DATA device{};
      if (!InterfacePath(set, data, info.path, device)) continue;
      info.location = LocationOf(device.DevInst);
      // Attributes and capabilities need no access rights: a handle without
      // them opens also where reading and writing are refused.
      HANDLE handle = CreateFileW(info.path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
      info.infoValid = handle != INVALID_HANDLE_VALUE && ReadInterfaceInfo(handle, info);
      if (handle != INVALID_HANDLE_VALUE) info.serial = SerialOf(handle);
      if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
      out.push_back(std::move(info));
    }
    SetupDiDestroyDeviceInfoList(set);
    return HidResult::Ok();
  }

  HidResult Open(const DevicePath& path, std::unique_ptr<HidDevice>& out) override {
    out.reset();
    if (path.empty()) return HidResult::Fail("CreateFileW: no device path");
    HANDLE handle = OpenInterface(path.c_str());
    if (handle == INVALID_HANDLE_VALUE) return LastError("CreateFileW");
    out = std::make_unique<WindowsHidDevice>(handle);
    return HidResult::Ok();
  }
};

}  // namespace

std::unique_ptr<HidBackend> MakePlatformHidBackend() {
  return std::make_unique<WindowsHidBackend>();
}

}  // namespace kbt
