// The main dialog on Win32: template 102 from the program's resources, the
// shared DialogController for every decision, and the Win32 side of the
// status outputs. Runs modally (the program) or modeless (tests).
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "device/hid.h"
#include "ui/dialog_controller.h"
#include "ui/dialog_services.h"

namespace kbt {

inline constexpr int kMainDialogId = 102;
inline constexpr int kIconId = 128;
inline constexpr int kFileNameEditId = 1000;
inline constexpr int kStartButtonId = 1001;
inline constexpr int kProgressBarId = 1002;

struct MainDialogOptions {
  // Told the dialog's window once it exists (before the first discovery)
  // and null when the window is being destroyed. The demo posts its
  // simulated device events there.
  std::function<void(HWND)> windowChanged;
  ControllerWorkers workers = ControllerWorkers::Real();
};

class Win32StatusOutputs;

class MainDialog final : public DialogServices {
 public:
  // Construction: the button's start look and the icon; the window comes
  // with RunModal or CreateModeless. `counter` is the program's update
  // counter (UpdateCounter).
  MainDialog(HINSTANCE instance, HidBackend& hid, UpdateCounter& counter,
             MainDialogOptions options = {});
  ~MainDialog() override;
  MainDialog(const MainDialog&) = delete;
  MainDialog& operator=(const MainDialog&) = delete;

  // Runs the dialog modally; returns when it has ended (Esc, close box, OK).
  INT_PTR RunModal();
  // The same window, modeless: the caller pumps messages; OK and Cancel
  // destroy it.
  HWND CreateModeless();

  HWND Window() const { return window_; }
  DialogState& State() { return controller_.State(); }
  HICON Icon() const { return icon_; }
  HFONT ButtonFont() const { return buttonFont_; }

  // DialogServices
  std::wstring FileNameText() override;
  void SetFileNameText(const std::wstring& text) override;
  void ShowErrorBox(const std::wstring& text) override;
  void SetProgressRange(int minimum, int maximum) override;
  void RegisterForDeviceEvents() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void InitDialog();
  bool PaintMinimised();
  void Destroyed();

  HINSTANCE instance_;
  MainDialogOptions options_;
  DialogController controller_;
  HICON icon_ = nullptr;
  HFONT buttonFont_ = nullptr;
  HDEVNOTIFY deviceNotify_ = nullptr;
  HWND window_ = nullptr;
  HWND fileNameEdit_ = nullptr;
  HWND startButton_ = nullptr;
  HWND progressBar_ = nullptr;
  bool modal_ = true;
  std::shared_ptr<Win32StatusOutputs> outputs_;
};

// The status outputs of the Win32 dialog. Safe from any thread: the colour
// is a repaint request (InvalidateRect), the position and the enabled state
// are sent to the window and applied on its thread before the caller goes
// on. Once detached (the window is going), every call does nothing.
class Win32StatusOutputs final : public StatusOutputs {
 public:
  Win32StatusOutputs(HWND startButton, HWND progressBar);
  void Detach();

  void RepaintButton() override;
  void SetProgressPos(int position) override;
  void EnableStartButton(bool enabled) override;

 private:
  std::atomic<HWND> startButton_;
  std::atomic<HWND> progressBar_;
};

}  // namespace kbt
