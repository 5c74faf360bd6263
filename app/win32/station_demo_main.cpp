// KeyboardUpdateStationDemo.exe: the station window over eight simulated
// keyboards (--places N: N), swapped by a scripted operator that unplugs each unit shown
// done and plugs in the next one a moment later (also under Wine).
//   KeyboardUpdateStationDemo.exe [--log FILE] [--places N] [FILE.hex]
//   KeyboardUpdateStationDemo.exe --screenshots DIR   saves the window as
//       DIR\station-{updating,done,mixed}.bmp while the units at sim-6 fail,
//       then ends (tools/wine/station-screenshots.sh makes PNG files of them)
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/win32/station_startup.h"
#include "image/file_platform.h"
#include "sim/sim_hub.h"
#include "sim/sim_operator.h"

namespace {

using kbt::SlotState;

// The screenshot run ends by itself after this long, pictures or not.
constexpr UINT kScreenshotLimitMs = 120000;

int Count(const kbt::StationStatus& status, SlotState state, int minSteps = 0) {
  int n = 0;
  for (const kbt::StationTile& t : status.tiles)
    if (t.slot.state == state && t.steps >= minSteps) ++n;
  return n;
}

template <typename T>
void Put(std::ofstream& out, T value) {
  out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

// The window's client area as a 24-bit BMP file: what the screen shows of
// it now (the window paints everything due first).
bool SaveClientArea(kbt::StationWindow& window, const std::wstring& path) {
  window.PaintNow();
  HWND hwnd = window.Window();
  RECT client;
  GetClientRect(hwnd, &client);
  const int width = client.right;
  const int height = client.bottom;
  HDC screen = GetDC(hwnd);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  SelectObject(memory, old);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;  // bottom-up rows, as BMP files keep them
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const std::uint32_t rowBytes = (static_cast<std::uint32_t>(width) * 3 + 3) & ~3u;
  std::vector<char> pixels(static_cast<std::size_t>(rowBytes) * static_cast<std::uint32_t>(height));
  const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                             reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(hwnd, screen);
  if (rows != height) return false;

  std::ofstream out(std::filesystem::path(path), std::ios::binary);
  const std::uint32_t offset = 14 + sizeof info;
  out.write("BM", 2);
  Put(out, static_cast<std::uint32_t>(offset + pixels.size()));
  Put(out, std::uint32_t{0});
  Put(out, offset);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
  return static_cast<bool>(out);
}

// Each picture once, when the tiles first show what it is meant to show
// (the same moments as the Qt demo's).
bool done = false;
// Units shown done before every first unit is: taken away only once the
// picture of all of them done is taken (on a busy machine the first ones
// were gone before the last one was done).
std::vector<std::string> heldDone;

void TakeScreenshots(kbt::StationWindow& window, const kbt::StationStatus& status,
                     const std::wstring& dir, int places) {
  static bool updating = false, mixed = false;
  auto save = [&](bool& taken, const wchar_t* name) {
    taken = true;
    SaveClientArea(window, dir + L"\\station-" + name + L".bmp");
  };
  if (!updating && Count(status, SlotState::Updating, 6) == places) save(updating, L"updating");
  if (!done && Count(status, SlotState::DoneUnplug) == places) save(done, L"done");
  if (done && !mixed && Count(status, SlotState::Waiting) > 0 &&
      Count(status, SlotState::Updating, 3) > 0 && Count(status, SlotState::DoneUnplug) > 0)
    save(mixed, L"mixed");
  if (updating && done && mixed) PostMessageW(window.Window(), WM_CLOSE, 0, 0);
}

void CALLBACK EndScreenshotRun(HWND window, UINT, UINT_PTR, DWORD) {
  PostMessageW(window, WM_CLOSE, 0, 0);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const kbt::StationArguments args = kbt::ParseStationArguments(kbt::StationCommandLine(), true);
  if (args.action != kbt::StationArguments::Action::Run)
    return kbt::AnswerStationWithoutWindow(args, "KeyboardUpdateStationDemo", true);
  const std::wstring shots = kbt::platform::PathFromArgument(args.screenshots.c_str());

  kbt::DeviceEventQueue events;  // outlives the hub that feeds it
  kbt::sim::SimBusOptions bus;
  bus.reenumerateDelayMs = 300;
  // Slower than a USB link, so that the bars can be watched moving.
  bus.latency = [](std::size_t) { return std::chrono::microseconds(60000); };
  kbt::sim::SimHub hub(args.places, kbt::sim::SimMode::Normal, bus);
  if (!shots.empty() && args.places >= 6) {
    kbt::sim::SimFaults fault;
    fault.rejectBlock = 3;  // every write of block 3 fails: the run fails
    hub.Keyboard(6).SetFaults(fault);
  }
  hub.SetEventCallback([&events](const kbt::DeviceEvent& e) { events.Push(e); });
  std::unique_ptr<kbt::sim::SimOperator> op;

  kbt::StationWindowProgram program;
  program.name = "KeyboardUpdateStationDemo";
  program.hid = &hub;
  program.events = &events;
  program.beforeRun = [&](kbt::StationWindow& window) {
    op = std::make_unique<kbt::sim::SimOperator>(hub);
    if (!shots.empty()) SetTimer(window.Window(), 1, kScreenshotLimitMs, &EndScreenshotRun);
    window.onEvent = [&op, &window, &shots, places = args.places](const kbt::StationStatus& status,
                                                                  const kbt::StationEvent& e) {
      const bool holding = !shots.empty() && !done;
      if (e.kind == kbt::StationEvent::Kind::Done && op) {
        if (holding)
          heldDone.push_back(e.location);
        else
          op->UnitDone(e.location);
      }
      if (!shots.empty()) TakeScreenshots(window, status, shots, places);
      if (holding && done && op)
        for (const std::string& location : std::exchange(heldDone, {})) op->UnitDone(location);
    };
  };
  const int code = kbt::RunStationWindowProgram(instance, args, program);
  op.reset();
  return code;
}
