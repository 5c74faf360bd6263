// The Win32 dialog is a thin shell: it owns the window, the icon, the font
// and the device notification, turns window messages into calls of the
// DialogController, and lends the controller its DialogServices. Everything
// here runs on the dialog's thread except the status outputs.
#include "ui/win32/main_dialog.h"

#include <commctrl.h>

#include "device/windows/hid_windows_events.h"
#include "ui/status_button.h"
#include "ui/status_outputs.h"
#include "ui/win32/status_button_win32.h"

namespace kbt {

// ---- status outputs --------------------------------------------------------

Win32StatusOutputs::Win32StatusOutputs(HWND startButton, HWND progressBar)
    : startButton_(startButton), progressBar_(progressBar) {}

void Win32StatusOutputs::Detach() {
  startButton_ = nullptr;
  progressBar_ = nullptr;
}

void Win32StatusOutputs::RepaintButton() {
  // Only asks the dialog's thread for a paint; returns at once.
  if (HWND button = startButton_.load()) InvalidateRect(button, nullptr, TRUE);
}

void Win32StatusOutputs::SetProgressPos(int position) {
  // SendMessageW to a window of another thread waits until that thread has
  // handled it: positions arrive in order and before the worker goes on.
  if (HWND bar = progressBar_.load())
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32StatusOutputs::EnableStartButton(bool enabled) {
  // EnableWindow on another thread's window sends WM_ENABLE there and waits.
  if (HWND button = startButton_.load()) EnableWindow(button, enabled ? TRUE : FALSE);
}

// ---- the dialog --------------------------------------------------------------

MainDialog::MainDialog(HINSTANCE instance, HidBackend& hid, UpdateCounter& counter,
                       MainDialogOptions options)
    : instance_(instance),
      options_(std::move(options)),
      controller_(hid, counter, *this, static_cast<ColorRef>(GetSysColor(COLOR_GRAYTEXT)),
                  options_.workers) {
  // LoadIconW gives the system's standard large size (SM_CXICON x SM_CYICON).
  icon_ = LoadIconW(instance_, MAKEINTRESOURCEW(kIconId));
}

MainDialog::~MainDialog() {
  // The icon is a shared resource icon: the system releases it. The font is
  // ours; the window that used it is gone by now.
  if (buttonFont_ != nullptr) DeleteObject(buttonFont_);
}

INT_PTR MainDialog::RunModal() {
  modal_ = true;
  return DialogBoxParamW(instance_, MAKEINTRESOURCEW(kMainDialogId), nullptr, &DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

HWND MainDialog::CreateModeless() {
  modal_ = false;
  return CreateDialogParamW(instance_, MAKEINTRESOURCEW(kMainDialogId), nullptr, &DialogProc,
                            reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK MainDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  MainDialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<MainDialog*>(lParam);
    self->window_ = window;
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<MainDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  }
  // Messages before WM_INITDIALOG (WM_SETFONT of the template) and after
  // WM_NCDESTROY go to the default processing.
  if (self == nullptr) return FALSE;
  return self->HandleMessage(message, wParam, lParam);
}

INT_PTR MainDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog();
      // TRUE: the system gives the focus to the first control that takes it.
      return TRUE;

    case WM_DEVICECHANGE:
      if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)
        controller_.OnDeviceEvent(TranslateDeviceChange(wParam, lParam));
      // Then the default processing, which grants every request.
      return FALSE;

    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kStartButtonId:
          if (HIWORD(wParam) == BN_CLICKED) controller_.OnStart();
          return TRUE;
        case IDOK:
        case IDCANCEL:
          // The close box, Esc, and Enter when it reaches the dialog.
          if (modal_) {
            EndDialog(window_, LOWORD(wParam));
          } else {
            DestroyWindow(window_);
          }
          return TRUE;
        default:
          return FALSE;
      }

    case WM_DRAWITEM: {
      const auto* request = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (wParam != kStartButtonId || request == nullptr) return FALSE;
      DrawStatusButton(*request);
      return TRUE;
    }

    case WM_PAINT:
      return PaintMinimised() ? TRUE : FALSE;

    case WM_QUERYDRAGICON:
      // One of the few dialog messages whose result is the return value.
      return reinterpret_cast<INT_PTR>(icon_);

    case WM_DESTROY:
      Destroyed();
      return FALSE;

    case WM_NCDESTROY:
      SetWindowLongPtrW(window_, DWLP_USER, 0);
      window_ = nullptr;
      return FALSE;

    default:
      return FALSE;
  }
}

void MainDialog::InitDialog() {
  // The button becomes ours before anything paints it.
  startButton_ = GetDlgItem(window_, kStartButtonId);
  SubclassStatusButton(startButton_);

  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  // Height 24 (cell height), the mapper's width, DEFAULT_CHARSET,
  // OUT_CHARACTER_PRECIS, CLIP_CHARACTER_PRECIS, DEFAULT_QUALITY,
  // DEFAULT_PITCH | FF_DONTCARE. Without it the button keeps the system font.
  buttonFont_ = CreateFontW(24, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_CHARACTER_PRECIS, CLIP_CHARACTER_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH | FF_DONTCARE, L"Courier New");

  fileNameEdit_ = GetDlgItem(window_, kFileNameEditId);
  progressBar_ = GetDlgItem(window_, kProgressBarId);
  startButton_ = GetDlgItem(window_, kStartButtonId);

  // The Start button only; the label and the field keep the dialog font.
  if (buttonFont_ != nullptr)
    SendMessageW(startButton_, WM_SETFONT, reinterpret_cast<WPARAM>(buttonFont_), TRUE);

  outputs_ = std::make_shared<Win32StatusOutputs>(startButton_, progressBar_);
  InstallStatusOutputs(outputs_);
  if (options_.windowChanged) options_.windowChanged(window_);

  // First discovery, device events, the .hex file into the field.
  controller_.Initialize();
}

bool MainDialog::PaintMinimised() {
  if (!IsIconic(window_)) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window_, &paint);
  SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(window_, &client);
  // Centred; integer division truncating toward zero.
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(window_, &paint);
  return true;
}

void MainDialog::Destroyed() {
  // From here on no worker reaches a control: the outputs go first, then the
  // windows they pointed at.
  RemoveStatusOutputs();
  if (outputs_) outputs_->Detach();
  if (options_.windowChanged) options_.windowChanged(nullptr);
  if (deviceNotify_ != nullptr) {
    UnregisterDeviceNotification(deviceNotify_);
    deviceNotify_ = nullptr;
  }
}

// ---- dialog services ---------------------------------------------------------

std::wstring MainDialog::FileNameText() {
  if (fileNameEdit_ == nullptr) return {};
  const int length = GetWindowTextLengthW(fileNameEdit_);
  std::wstring text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
  const int copied = GetWindowTextW(fileNameEdit_, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return text;
}

void MainDialog::SetFileNameText(const std::wstring& text) {
  if (fileNameEdit_ != nullptr) SetWindowTextW(fileNameEdit_, text.c_str());
}

void MainDialog::ShowErrorBox(const std::wstring& text) {
  // MB_OK | MB_ICONHAND, owned by the dialog: its loop goes on dispatching
  // the dialog's messages while the box is open.
  MessageBoxW(window_, text.c_str(), kErrorCaption, MB_OK | MB_ICONHAND);
}

void MainDialog::SetProgressRange(int minimum, int maximum) {
  if (progressBar_ != nullptr)
    SendMessageW(progressBar_, PBM_SETRANGE, 0,
                 MAKELPARAM(static_cast<WORD>(minimum), static_cast<WORD>(maximum)));
}

void MainDialog::RegisterForDeviceEvents() {
  // A failed registration leaves the dialog without events: only the first
  // discovery then takes place.
  deviceNotify_ = RegisterHidNotification(window_);
}

}  // namespace kbt
