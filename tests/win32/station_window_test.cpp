// The Win32 station window under Wine: what each tile says and the colour
// it is painted in, the real window from template 200 showing a status, and
// closing it during runs, which ends them recorded as interrupted.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "device/device_events.h"
#include "image/firmware_image.h"
#include "sim/sim_hub.h"
#include "station/station_runner.h"
#include "ui/status_outputs.h"
#include "ui/win32/station_tiles.h"
#include "ui/win32/station_window.h"

namespace kbt {
namespace {

StationTile Tile(const char* location, SlotState state, std::optional<bool> pass = {}) {
  StationTile t;
  t.slot.location = location;
  t.slot.state = state;
  t.slot.unit = 3;
  t.slot.serial = "SIM-2-0003";
  t.slot.pass = pass;
  t.slot.reason = "verify block 6 differs";
  t.slot.present = true;
  t.slot.startedAtMs = 1000;
  t.slot.endedAtMs = 4400;
  t.steps = 5;
  t.activity = "program block 3";
  return t;
}

TEST(StationTiles, LookFollowsTheSlot) {
  const struct {
    StationTile tile;
    ColorRef fill;
    const wchar_t* state;
    bool bar, unplug;
  } cases[] = {
      {Tile("sim-1", SlotState::Waiting), kColorLightGrey, L"waiting (not taken)", false, false},
      {Tile("sim-2", SlotState::Updating), kColorYellow, L"updating: program block 3", true, false},
      {Tile("sim-3", SlotState::Finished, true), kColorGreen, L"PASS  3.4 s", false, false},
      {Tile("sim-4", SlotState::DoneUnplug, false), kColorRed, L"FAIL: verify block 6 differs",
       false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tile.slot.location);
    const TileLook look = LookOf(c.tile);
    EXPECT_EQ(look.fill, c.fill);
    EXPECT_EQ(look.state, c.state);
    EXPECT_EQ(look.bar, c.bar);
    EXPECT_EQ(look.unplug, c.unplug);
    // A waiting place shows no unit: the last one has gone.
    EXPECT_EQ(look.unit, c.tile.slot.state == SlotState::Waiting ? L"" : L"unit 3  SIM-2-0003");
  }
}

// Paints tiles into a top-down 32-bit DIB and reads pixels back.
class Canvas {
 public:
  Canvas(int width, int height) : width_(width) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ =
        CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
    old_ = SelectObject(dc_, bitmap_);
  }
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  HDC dc() const { return dc_; }
  ColorRef At(int x, int y) const {
    GdiFlush();
    const std::uint32_t p = bits_[y * width_ + x];  // 0x00RRGGBB
    return ((p & 0xFF) << 16) | (p & 0xFF00) | ((p >> 16) & 0xFF);
  }

 private:
  int width_;
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
  std::uint32_t* bits_ = nullptr;
};

TEST(StationTiles, EachTileIsPaintedInItsColourInItsPlace) {
  constexpr int kWidth = 800, kHeight = 400;
  std::vector<TileLook> looks;
  for (const StationTile& t :
       {Tile("sim-1", SlotState::Waiting), Tile("sim-2", SlotState::Updating),
        Tile("sim-3", SlotState::Finished, true), Tile("sim-4", SlotState::DoneUnplug, false),
        Tile("sim-5", SlotState::Updating)})
    looks.push_back(LookOf(t));
  Canvas canvas(kWidth, kHeight);
  PaintTiles(canvas.dc(), kWidth, kHeight, looks);
  for (std::size_t i = 0; i < looks.size(); ++i) {
    SCOPED_TRACE(i);
    const RECT r = TileRect(static_cast<int>(i), static_cast<int>(looks.size()), kWidth, kHeight);
    ASSERT_LE(r.right, kWidth);
    ASSERT_LE(r.bottom, kHeight);
    // Inside the frame, in the bottom-right corner, where no text reaches.
    EXPECT_EQ(canvas.At(r.right - 3, r.bottom - 3), looks[i].fill);
  }
  // The fifth place starts a second row below the first.
  EXPECT_GT(TileRect(4, 5, kWidth, kHeight).top, TileRect(0, 5, kWidth, kHeight).bottom);
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

std::wstring Text(HWND window, int id) {
  wchar_t text[512] = {};
  GetDlgItemTextW(window, id, text, 512);
  return text;
}

TEST(StationWindow, ShowsTheHeaderTotalsAndState) {
  StationWindow window(GetModuleHandleW(nullptr), L"FW.hex", L"C:\\bench\\r.csv");
  if (window.Create() == nullptr) GTEST_SKIP() << "no window could be created (no display?)";
  Pump();
  EXPECT_EQ(Text(window.Window(), kStationHeaderId),
            L"Firmware: FW.hex\nResults log: C:\\bench\\r.csv");
  EXPECT_EQ(Text(window.Window(), kStationStateId), L"Waiting for keyboards...");
  StationStatus status;
  status.tiles = {Tile("sim-1", SlotState::Updating), Tile("sim-2", SlotState::Finished, true)};
  status.passed = 5;
  status.failed = 1;
  status.unitsPerHour = 412.3;
  status.running = 1;
  status.taking = false;
  window.Show(status);
  EXPECT_EQ(Text(window.Window(), kStationTotalsId), L"PASS 5    FAIL 1    412.3 units/hour");
  EXPECT_EQ(Text(window.Window(), kStationStateId), L"Stopping: finishing the runs in progress");
  EXPECT_EQ(window.Shown().tiles.size(), 2u);
  window.Close();
  EXPECT_EQ(window.Window(), nullptr);
}

TEST(StationWindow, ClosingDuringRunsEndsThemAsInterrupted) {
  struct Recorder : UnitRecorder {
    HidResult Record(const StationUnitResult& r) override {
      std::lock_guard lock(mutex);
      reasons.push_back(r.reason);
      return HidResult::Ok();
    }
    std::mutex mutex;
    std::vector<std::string> reasons;
  } recorder;
  std::vector<std::uint8_t> image(kImageSize, 0x5A);
  DeviceEventQueue events;
  sim::SimBusOptions bus;
  bus.reenumerateDelayMs = 20;
  sim::SimHub hub(2, sim::SimMode::Update, bus);
  hub.SetEventCallback([&events](const DeviceEvent& e) { events.Push(e); });
  StationWindow window(GetModuleHandleW(nullptr), L"FW.hex", L"r.csv");
  if (window.Create() == nullptr) GTEST_SKIP() << "no window could be created (no display?)";
  std::uint16_t counter = 1;
  StationRunner runner(hub, &events, image.data(), [&counter] { return counter++; }, &recorder,
                       window.Sink(), {});
  bool running = false;
  window.onEvent = [&](const StationStatus& status, const StationEvent&) {
    running = running || status.running == 2;
  };
  window.Start(runner);
  // The runs wait 2 s after their Begin command: closing comes in that wait.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!running && std::chrono::steady_clock::now() < until) {
    Pump();
    Sleep(5);
  }
  ASSERT_TRUE(running);
  const auto closing = std::chrono::steady_clock::now();
  SendMessageW(window.Window(), WM_CLOSE, 0, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(10));
  EXPECT_EQ(window.Window(), nullptr);
  ASSERT_EQ(recorder.reasons.size(), 2u);
  for (const std::string& reason : recorder.reasons) EXPECT_EQ(reason, "interrupted");
}

}  // namespace
}  // namespace kbt
