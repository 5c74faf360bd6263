// The Win32 station window is a shell like the dialog: it owns the window,
// its fonts and the runner's thread, lays out the template's controls when
// it is resized, and paints the tiles from the last status the runner sent.
// Everything here runs on the window's thread except the sink's Update.
#include "ui/win32/station_window.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>

#include "ui/win32/station_tiles.h"

namespace kbt {
namespace {

constexpr UINT kStatusQueued = WM_APP + 1;
constexpr wchar_t kTilesClass[] = L"KbStationTiles";
constexpr int kIconId = 128;
constexpr int kMargin = 10;

void RegisterTilesClass(HINSTANCE instance, WNDPROC proc) {
  WNDCLASSEXW tiles{};
  tiles.cbSize = sizeof(tiles);
  tiles.style = CS_HREDRAW | CS_VREDRAW;
  tiles.lpfnWndProc = proc;
  tiles.hInstance = instance;
  tiles.lpszClassName = kTilesClass;
  tiles.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  // A second registration (a second window in the same process) fails
  // harmlessly: the class is the same.
  RegisterClassExW(&tiles);
}

void SetTextIfChanged(HWND control, const std::wstring& text) {
  wchar_t current[512] = {};
  GetWindowTextW(control, current, 512);
  if (text != current) SetWindowTextW(control, text.c_str());
}

}  // namespace

// Runs on the runner's threads: queues a copy of each status and wakes the
// window with one posted message for everything queued since it last looked.
class StationWindow::PostingSink : public StationSink {
 public:
  struct Item {
    StationStatus status;
    StationEvent event;
  };
  void SetWindow(HWND window) { window_ = window; }
  void Update(const StationStatus& status, const StationEvent& event) override {
    {
      std::lock_guard lock(mutex_);
      Item& item = queue_.emplace_back(Item{status, event});
      item.event.result = nullptr;  // points into the runner's thread
    }
    if (!posted_.exchange(true)) {
      HWND window = window_.load();
      if (window == nullptr || !PostMessageW(window, kStatusQueued, 0, 0)) posted_ = false;
    }
  }
  std::deque<Item> Take() {
    std::lock_guard lock(mutex_);
    posted_ = false;
    return std::exchange(queue_, {});
  }

 private:
  std::atomic<HWND> window_{nullptr};
  std::atomic<bool> posted_{false};
  std::mutex mutex_;
  std::deque<Item> queue_;
};

StationWindow::StationWindow(HINSTANCE instance, std::wstring firmware, std::wstring logPath)
    : instance_(instance),
      firmware_(std::move(firmware)),
      logPath_(std::move(logPath)),
      sink_(std::make_unique<PostingSink>()) {
  RegisterTilesClass(instance_, &TilesProc);
  icon_ = LoadIconW(instance_, MAKEINTRESOURCEW(kIconId));
}

StationWindow::~StationWindow() {
  Close();
  if (totalsFont_ != nullptr) DeleteObject(totalsFont_);
}

StationSink* StationWindow::Sink() {
  return sink_.get();
}

HWND StationWindow::Create() {
  CreateDialogParamW(instance_, MAKEINTRESOURCEW(kStationDialogId), nullptr, &DialogProc,
                     reinterpret_cast<LPARAM>(this));
  return window_;
}

void StationWindow::Start(StationRunner& runner) {
  runner_ = &runner;
  thread_ = std::thread([&runner] { runner.Run(); });
}

void StationWindow::RunMessageLoop() {
  MSG message;
  while (window_ != nullptr && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(window_, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

void StationWindow::Close() {
  StopRunner();
  if (window_ != nullptr) DestroyWindow(window_);
}

void StationWindow::StopRunner() {
  if (!thread_.joinable()) return;
  // Runs in progress are cancelled before their next report and recorded
  // as interrupted: the window does not outlive its runs. The runner's
  // sink only posts, so it never waits for this thread while it is joined.
  runner_->RequestStop();
  runner_->RequestAbort();
  thread_.join();
}

INT_PTR CALLBACK StationWindow::DialogProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  StationWindow* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<StationWindow*>(lParam);
    self->window_ = window;
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<StationWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  }
  if (self == nullptr) return FALSE;
  return self->HandleMessage(message, wParam, lParam);
}

INT_PTR StationWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog();
      return TRUE;
    case kStatusQueued:
      TakeQueued();
      return TRUE;
    case WM_SIZE:
      Layout();
      return TRUE;
    case WM_GETMINMAXINFO: {
      auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
      limits->ptMinTrackSize = POINT{520, 360};
      return TRUE;
    }
    case WM_COMMAND:
      // Esc and Enter reach a dialog as IDCANCEL and IDOK: a key pressed by
      // accident must not cancel the runs. Only the close box closes.
      return LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK ? TRUE : FALSE;
    case WM_CLOSE:
      Close();
      return TRUE;
    case WM_DESTROY:
      sink_->SetWindow(nullptr);
      return FALSE;
    case WM_NCDESTROY:
      SetWindowLongPtrW(window_, DWLP_USER, 0);
      window_ = nullptr;
      tiles_ = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

void StationWindow::InitDialog() {
  tiles_ = GetDlgItem(window_, kStationTilesId);
  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  totalsFont_ =
      CreateFontW(-24, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Arial");
  if (totalsFont_ != nullptr)
    SendDlgItemMessageW(window_, kStationTotalsId, WM_SETFONT,
                        reinterpret_cast<WPARAM>(totalsFont_), FALSE);
  SetDlgItemTextW(window_, kStationHeaderId,
                  (L"Firmware: " + firmware_ + L"\nResults log: " + logPath_).c_str());
  sink_->SetWindow(window_);
  Layout();
  Show({});
}

void StationWindow::Layout() {
  if (window_ == nullptr || tiles_ == nullptr) return;
  RECT client;
  GetClientRect(window_, &client);
  const int width = client.right - 2 * kMargin;
  const int headerHeight = 34;
  const int totalsHeight = 34;
  const int stateHeight = 20;
  int top = kMargin;
  auto place = [&](int id, int height) {
    MoveWindow(GetDlgItem(window_, id), kMargin, top, width, height, TRUE);
    top += height;
  };
  place(kStationHeaderId, headerHeight);
  place(kStationTotalsId, totalsHeight);
  top += 4;
  const int tilesHeight = client.bottom - top - stateHeight - kMargin - 4;
  place(kStationTilesId, tilesHeight > 0 ? tilesHeight : 0);
  top += 4;
  place(kStationStateId, stateHeight);
}

void StationWindow::TakeQueued() {
  for (PostingSink::Item& item : sink_->Take()) {
    Show(item.status);
    if (onEvent) onEvent(item.status, item.event);
  }
}

void StationWindow::Show(const StationStatus& status) {
  shown_ = status;
  if (window_ == nullptr) return;
  SetTextIfChanged(GetDlgItem(window_, kStationTotalsId), TotalsText(status));
  SetTextIfChanged(GetDlgItem(window_, kStationStateId), StationStateText(status));
  if (tiles_ != nullptr) InvalidateRect(tiles_, nullptr, FALSE);
}

void StationWindow::PaintNow() {
  if (window_ != nullptr)
    RedrawWindow(window_, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

LRESULT CALLBACK StationWindow::TilesProc(HWND tiles, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // the paint covers every pixel
    case WM_PAINT: {
      auto* self = reinterpret_cast<StationWindow*>(GetWindowLongPtrW(GetParent(tiles), DWLP_USER));
      if (self != nullptr) {
        self->PaintTilesControl(tiles);
        return 0;
      }
      break;
    }
    default:
      break;
  }
  return DefWindowProcW(tiles, message, wParam, lParam);
}

void StationWindow::PaintTilesControl(HWND tiles) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(tiles, &paint);
  RECT client;
  GetClientRect(tiles, &client);
  const int width = client.right;
  const int height = client.bottom;
  std::vector<TileLook> looks;
  for (const StationTile& tile : shown_.tiles) looks.push_back(LookOf(tile));
  // Off screen first: a repaint at every step of eight runs must not flicker.
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, width > 0 ? width : 1, height > 0 ? height : 1);
  HGDIOBJ old = SelectObject(memory, bitmap);
  PaintTiles(memory, width, height, looks);
  BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  EndPaint(tiles, &paint);
}

}  // namespace kbt
