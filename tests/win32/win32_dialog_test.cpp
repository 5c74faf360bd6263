// The Win32 layer under Wine: the real dialog from template 102 (linked into
// this program), WM_DEVICECHANGE into the controller, the status outputs
// from another thread and after the window has gone, the Start command's
// message box, and the owner-drawn button's pixels.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device/empty_hid.h"
#include "device/update_counter.h"
#include "device/windows/hid_windows_events.h"
#include "dialog/dialog_state.h"
#include "image/hex_file_location.h"
#include "ui/status_button.h"
#include "ui/status_outputs.h"
#include "ui/win32/main_dialog.h"
#include "ui/win32/status_button_win32.h"

namespace kbt {
namespace {

// ---- WM_DEVICECHANGE translation ---------------------------------------------

TEST(DeviceChange, InterfaceEventsCarryTheirPath) {
  const DevicePath path = L"\\\\?\\HID#VID_0603&PID_1020&MI_00#7&1&0&0000#{4d1e55b2}";
  InterfaceBroadcast b = MakeInterfaceBroadcast(path);
  EXPECT_EQ(b.get()->dbcc_devicetype, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));

  DeviceEvent removal =
      TranslateDeviceChange(DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(b.get()));
  EXPECT_EQ(removal.kind, DeviceEvent::Kind::Removal);
  EXPECT_TRUE(removal.isDeviceInterface);
  EXPECT_EQ(removal.path, path);

  DeviceEvent arrival = TranslateDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(b.get()));
  EXPECT_EQ(arrival.kind, DeviceEvent::Kind::Arrival);
  EXPECT_EQ(arrival.path, path);
}

TEST(DeviceChange, NameIsReadNoFurtherThanTheBroadcast) {
  InterfaceBroadcast b = MakeInterfaceBroadcast(L"ABCDEFGH");
  // A broadcast that says it ends after four characters, without a zero.
  b.get()->dbcc_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                                          4 * sizeof(wchar_t));
  EXPECT_EQ(TranslateDeviceChange(DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(b.get())).path,
            L"ABCD");
  b.get()->dbcc_size = 8;  // shorter than the fixed part
  EXPECT_EQ(TranslateDeviceChange(DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(b.get())).path,
            L"");
}

TEST(DeviceChange, OtherKindsAndEvents) {
  DEV_BROADCAST_HDR volume{};
  volume.dbch_size = sizeof(volume);
  volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
  DeviceEvent removal =
      TranslateDeviceChange(DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&volume));
  EXPECT_EQ(removal.kind, DeviceEvent::Kind::Removal);
  EXPECT_FALSE(removal.isDeviceInterface);
  EXPECT_TRUE(removal.path.empty());

  // An arrival of any kind still counts as an arrival.
  EXPECT_EQ(TranslateDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume)).kind,
            DeviceEvent::Kind::Arrival);
  EXPECT_EQ(TranslateDeviceChange(DBT_DEVNODES_CHANGED, 0).kind, DeviceEvent::Kind::Other);
  EXPECT_EQ(TranslateDeviceChange(DBT_DEVICEQUERYREMOVE, reinterpret_cast<LPARAM>(&volume)).kind,
            DeviceEvent::Kind::Other);
  EXPECT_FALSE(TranslateDeviceChange(DBT_DEVICEREMOVECOMPLETE, 0).isDeviceInterface);
}

// ---- the button's paint ---------------------------------------------------------

// A 60x40 top-down 32-bit DIB to paint into and read back.
class Canvas {
 public:
  Canvas() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = kWidth;
    info.bmiHeader.biHeight = -kHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ =
        CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
    old_ = SelectObject(dc_, bitmap_);
    RECT all{0, 0, kWidth, kHeight};
    FillRect(dc_, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  }
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  HDC dc() const { return dc_; }
  // As a COLORREF (0x00BBGGRR).
  ColorRef At(int x, int y) const {
    GdiFlush();
    const std::uint32_t p = bits_[y * kWidth + x];  // 0x00RRGGBB
    return ((p & 0xFF) << 16) | (p & 0xFF00) | ((p >> 16) & 0xFF);
  }
  static constexpr int kWidth = 60, kHeight = 40;

 private:
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
  std::uint32_t* bits_ = nullptr;
};

DrawPlan Plan(ColorRef fill, ColorRef outline, bool raised, bool focus) {
  DrawPlan plan;
  plan.rect = {0, 0, 50, 30};
  plan.fill = fill;
  plan.outline = outline;
  plan.caption = 0;
  plan.raisedEdge = raised;
  plan.focusRect = focus;
  plan.text = L"";
  return plan;
}

TEST(ButtonPaint, FillOutlineAndRaisedEdge) {
  const ColorRef highlight = GetSysColor(COLOR_BTNHIGHLIGHT);
  struct Case {
    const char* name;
    DrawPlan plan;
    ColorRef leftEdge;   // x 0: the outline
    ColorRef innerEdge;  // x 2: the raised edge's light side, or the fill
  };
  const Case cases[] = {
      {"normal", Plan(kColorYellow, kOutlineSilver, true, false), kOutlineSilver, highlight},
      {"pressed", Plan(kColorYellow, kOutlineSilver, false, false), kOutlineSilver, kColorYellow},
      {"disabled", Plan(kColorLightGrey, kColorLightGrey, true, false), kColorLightGrey, highlight},
      {"green", Plan(kColorGreen, kOutlineWhite, true, false), kOutlineWhite, highlight},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Canvas canvas;
    DrawButtonPlan(canvas.dc(), c.plan);
    EXPECT_EQ(canvas.At(25, 15), c.plan.fill);
    EXPECT_EQ(canvas.At(0, 15), c.leftEdge);
    EXPECT_EQ(canvas.At(2, 15), c.innerEdge);
    // Outside the button nothing is drawn.
    EXPECT_EQ(canvas.At(55, 35), 0u);
  }
}

TEST(ButtonPaint, FocusRectangleInsideTheOutline) {
  Canvas without, with;
  DrawButtonPlan(without.dc(), Plan(kColorYellow, kOutlineSilver, true, false));
  DrawButtonPlan(with.dc(), Plan(kColorYellow, kOutlineSilver, true, true));
  // The dotted line runs along x = 3 from y = 2 on; some of its pixels differ
  // from the fill.
  int changed = 0;
  for (int y = 4; y < 26; ++y) changed += with.At(3, y) != without.At(3, y);
  EXPECT_GT(changed, 0);
  EXPECT_EQ(with.At(25, 15), kColorYellow);
}

// ---- the dialog ------------------------------------------------------------------

using NoDevices = EmptyHidBackend;

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Pumps messages while `work` runs on another thread (it may send to the
// dialog, which answers only while this thread pumps).
template <typename F>
void RunOnWorker(F work) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done && std::chrono::steady_clock::now() < until) {
    Pump();
    Sleep(1);
  }
  worker.join();
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MainDialogOptions options;
    options.workers.discovery = [this](const std::shared_ptr<DialogState>&, HidBackend&) {
      ++discoveries_;
    };
    options.workers.update = [](const std::shared_ptr<DialogState>&, HidBackend&,
                                std::unique_lock<std::mutex>) {};
    dialog_ =
        std::make_unique<MainDialog>(GetModuleHandleW(nullptr), hid_, counter_, std::move(options));
    window_ = dialog_->CreateModeless();
    if (window_ == nullptr) GTEST_SKIP() << "no window could be created (no display?)";
    Pump();
  }
  void TearDown() override {
    if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
    Pump();
    dialog_.reset();
    RemoveStatusOutputs();
  }
  HWND Item(int id) const { return GetDlgItem(window_, id); }
  // The dialog's state, which its controller owns.
  DialogState& State() { return dialog_->State(); }

  NoDevices hid_;
  UpdateCounter counter_;
  std::unique_ptr<MainDialog> dialog_;
  HWND window_ = nullptr;
  std::atomic<int> discoveries_{0};
};

TEST_F(DialogTest, InitialisationSetsUpWindowAndControls) {
  EXPECT_EQ(discoveries_.load(), 1);  // the first discovery

  HWND button = Item(kStartButtonId);
  ASSERT_NE(button, nullptr);
  ASSERT_NE(Item(kFileNameEditId), nullptr);
  ASSERT_NE(Item(kProgressBarId), nullptr);
  const LONG style = GetWindowLongW(button, GWL_STYLE);
  EXPECT_EQ(style & BS_TYPEMASK, BS_OWNERDRAW);
  EXPECT_FALSE(IsWindowEnabled(button));  // waiting for a device
  EXPECT_EQ(g_ButtonFillColor.load(), kColorLightGrey);

  // The Courier New font of height 24 on the Start button only.
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(button, WM_GETFONT, 0, 0));
  ASSERT_EQ(font, dialog_->ButtonFont());
  LOGFONTW lf{};
  ASSERT_NE(GetObjectW(font, sizeof(lf), &lf), 0);
  EXPECT_EQ(lf.lfHeight, 24);
  EXPECT_STREQ(lf.lfFaceName, L"Courier New");
  EXPECT_NE(reinterpret_cast<HFONT>(SendMessageW(Item(kFileNameEditId), WM_GETFONT, 0, 0)), font);

  // The icon as large and small icon, and as the drag icon.
  ASSERT_NE(dialog_->Icon(), nullptr);
  EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(window_, WM_GETICON, ICON_BIG, 0)),
            dialog_->Icon());
  EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(window_, WM_GETICON, ICON_SMALL, 0)),
            dialog_->Icon());
  EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(window_, WM_QUERYDRAGICON, 0, 0)),
            dialog_->Icon());

  // No .hex file beside this test program.
  EXPECT_EQ(dialog_->FileNameText(), kNoFindHexFile);
}

TEST_F(DialogTest, DataInterfaceRemovalResetsTheDialog) {
  State().WriteDevicePaths({L"\\\\?\\HID#VID_0603&PID_1020&MI_00#DATA", L"\\\\?\\HID#CMD"});
  State().deviceReady = true;
  SetButtonColor(kColorYellow);
  EnableStartButton(true);
  ASSERT_TRUE(IsWindowEnabled(Item(kStartButtonId)));

  // Another interface: nothing changes.
  InterfaceBroadcast other = MakeInterfaceBroadcast(L"\\\\?\\HID#CMD");
  SendMessageW(window_, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
               reinterpret_cast<LPARAM>(other.get()));
  EXPECT_TRUE(State().deviceReady);
  EXPECT_TRUE(IsWindowEnabled(Item(kStartButtonId)));

  // The Data interface, named in other letter case by the notification.
  InterfaceBroadcast data = MakeInterfaceBroadcast(L"\\\\?\\hid#vid_0603&pid_1020&mi_00#data");
  SendMessageW(window_, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
               reinterpret_cast<LPARAM>(data.get()));
  EXPECT_FALSE(State().deviceReady);
  EXPECT_TRUE(State().bootEntryHold);
  EXPECT_FALSE(IsWindowEnabled(Item(kStartButtonId)));
  EXPECT_EQ(g_ButtonFillColor.load(), kColorLightGrey);
  EXPECT_TRUE(State().ReadDevicePaths().data.empty());

  // An arrival of any kind while waiting starts a discovery.
  DEV_BROADCAST_HDR port{};
  port.dbch_size = sizeof(port);
  port.dbch_devicetype = DBT_DEVTYP_PORT;
  SendMessageW(window_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&port));
  EXPECT_EQ(discoveries_.load(), 2);
  EXPECT_FALSE(State().bootEntryHold);
}

TEST_F(DialogTest, StatusOutputsFromAWorkerThread) {
  SendMessageW(Item(kProgressBarId), PBM_SETRANGE, 0, MAKELPARAM(0, 17));
  RunOnWorker([] {
    SetProgressPos(5);
    EnableStartButton(true);
    SetButtonColor(kColorGreen);
  });
  EXPECT_EQ(SendMessageW(Item(kProgressBarId), PBM_GETPOS, 0, 0), 5);
  EXPECT_TRUE(IsWindowEnabled(Item(kStartButtonId)));
  EXPECT_EQ(g_ButtonFillColor.load(), kColorGreen);

  // Once the window has gone, the outputs reach nothing and do not block.
  DestroyWindow(window_);
  Pump();
  EXPECT_FALSE(IsWindow(window_));
  window_ = nullptr;
  std::thread late([] {
    SetProgressPos(9);
    EnableStartButton(false);
    SetButtonColor(kColorRed);
  });
  late.join();
  EXPECT_EQ(g_ButtonFillColor.load(), kColorRed);
}

// Closes the first "Error" box that the thread shows and keeps its text.
struct BoxCatcher {
  static inline std::wstring text;
  static inline std::wstring caption;
  static inline int boxes = 0;
  // A message box is a dialog (#32770) with its text in control 0xFFFF.
  static BOOL CALLBACK FindBox(HWND w, LPARAM out) {
    wchar_t cls[32] = {};
    GetClassNameW(w, cls, 32);
    if (std::wstring(cls) == L"#32770" && IsWindowVisible(w) && GetDlgItem(w, 0xFFFF) != nullptr) {
      *reinterpret_cast<HWND*>(out) = w;
      return FALSE;
    }
    return TRUE;
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &FindBox, reinterpret_cast<LPARAM>(&box));
    if (box == nullptr) return;
    wchar_t buffer[256] = {};
    GetDlgItemTextW(box, 0xFFFF, buffer, 256);
    text = buffer;
    GetWindowTextW(box, buffer, 256);
    caption = buffer;
    ++boxes;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
};

TEST_F(DialogTest, StartWithoutHexFileShowsTheBox) {
  ASSERT_EQ(dialog_->FileNameText(), kNoFindHexFile);
  State().deviceReady = true;
  EnableStartButton(true);
  BoxCatcher::boxes = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, &BoxCatcher::Tick);
  SendMessageW(window_, WM_COMMAND, MAKEWPARAM(kStartButtonId, BN_CLICKED),
               reinterpret_cast<LPARAM>(Item(kStartButtonId)));
  KillTimer(nullptr, timer);

  EXPECT_EQ(BoxCatcher::boxes, 1);
  EXPECT_EQ(BoxCatcher::text, L"No Find HexFile\uFF01");
  EXPECT_EQ(BoxCatcher::caption, L"Error");
  EXPECT_FALSE(IsWindowEnabled(Item(kStartButtonId)));
  EXPECT_EQ(SendMessageW(Item(kProgressBarId), PBM_GETPOS, 0, 0), 0);
  EXPECT_EQ(SendMessageW(Item(kProgressBarId), PBM_GETRANGE, FALSE, 0), 17);
  EXPECT_EQ(g_ProgressStep.load(), 1);
}

TEST_F(DialogTest, MouseMovesTheLookAndTheClickStillReachesTheStartCommand) {
  HWND button = Item(kStartButtonId);
  EnableStartButton(true);
  UpdateWindow(button);  // a paint records the button's rectangle
  RECT client;
  GetClientRect(button, &client);
  const LPARAM inside = MAKELPARAM(client.right / 2, client.bottom / 2);
  const LPARAM outside = MAKELPARAM(client.right + 5, client.bottom + 5);

  SendMessageW(button, WM_MOUSEMOVE, 0, inside);
  EXPECT_EQ(g_ButtonState, kButtonHover);
  EXPECT_EQ(GetCapture(), button);
  SendMessageW(button, WM_MOUSEMOVE, 0, outside);
  EXPECT_EQ(g_ButtonState, kButtonNormal);
  EXPECT_NE(GetCapture(), button);

  // Down and up over the button: pressed, and the control's own processing
  // turns them into BN_CLICKED, which runs the Start command (here: its box
  // about the missing file).
  BoxCatcher::boxes = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, &BoxCatcher::Tick);
  SendMessageW(button, WM_MOUSEMOVE, 0, inside);
  SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, inside);
  EXPECT_EQ(g_ButtonState, kButtonPressed);
  SendMessageW(button, WM_LBUTTONUP, 0, inside);
  Pump();
  KillTimer(nullptr, timer);
  // The Start command disabled the button; the paints during its box showed
  // the disabled look.
  EXPECT_FALSE(IsWindowEnabled(button));
  EXPECT_EQ(g_ButtonState, kButtonDisabled);
  EXPECT_EQ(BoxCatcher::boxes, 1);
  EXPECT_EQ(BoxCatcher::text, L"No Find HexFile\uFF01");
}

TEST_F(DialogTest, ButtonPaintsItsFillColour) {
  HWND button = Item(kStartButtonId);
  for (const ColorRef colour : {kColorYellow, kColorGreen, kColorLightGrey}) {
    SetButtonColor(colour);
    UpdateWindow(button);
    HDC dc = GetDC(button);
    EXPECT_EQ(GetPixel(dc, 6, 6), colour);
    ReleaseDC(button, dc);
  }
}

TEST_F(DialogTest, CancelDestroysTheModelessWindow) {
  SendMessageW(window_, WM_COMMAND, IDCANCEL, 0);
  Pump();
  EXPECT_FALSE(IsWindow(window_));
  window_ = nullptr;
}

}  // namespace
}  // namespace kbt
