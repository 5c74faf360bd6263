// A small Windows program for the smoke test under Wine: finds the running
// dialog by its title and reports or works its controls from outside, as an
// operator would. Every command prints one line and exits 0 on success.
//   ui_probe wait SECONDS           the dialog is shown; prints the Start
//                                   button's screen rectangle (x y w h)
//   ui_probe wait-enabled SECONDS   the Start button becomes enabled
//   ui_probe wait-disabled SECONDS  the Start button becomes disabled
//   ui_probe state                  enabled, progress position, file field
//   ui_probe click                  a left click on the Start button (SendInput)
//   ui_probe close SECONDS          WM_CLOSE, then waits until it has gone
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr wchar_t kTitle[] = L"Korvane keyboard Update Tool  By Z51K7   V1.0.0.4";
constexpr int kFileNameEditId = 1000;
constexpr int kStartButtonId = 1001;
constexpr int kProgressBarId = 1002;

HWND FindDialog() {
  HWND window = FindWindowW(L"#32770", kTitle);
  return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

template <typename Condition>
bool WaitFor(double seconds, Condition condition) {
  const DWORD until = GetTickCount() + static_cast<DWORD>(seconds * 1000);
  for (;;) {
    if (condition()) return true;
    if (static_cast<LONG>(GetTickCount() - until) >= 0) return false;
    Sleep(100);
  }
}

bool ButtonEnabled(HWND dialog) {
  HWND button = GetDlgItem(dialog, kStartButtonId);
  return button != nullptr && IsWindowEnabled(button);
}

int Fail(const char* what) {
  std::printf("FAIL %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Fail("usage: ui_probe wait|wait-enabled|wait-disabled|state|click|close");
  const std::string command = argv[1];
  const double seconds = argc > 2 ? std::atof(argv[2]) : 0;

  if (command == "wait") {
    HWND dialog = nullptr;
    if (!WaitFor(seconds, [&] { return (dialog = FindDialog()) != nullptr; }))
      return Fail("no dialog");
    RECT r;
    GetWindowRect(GetDlgItem(dialog, kStartButtonId), &r);
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return 0;
  }

  HWND dialog = FindDialog();
  if (dialog == nullptr) return Fail("no dialog");

  if (command == "wait-enabled" || command == "wait-disabled") {
    const bool wanted = command == "wait-enabled";
    if (!WaitFor(seconds, [&] { return ButtonEnabled(dialog) == wanted; }))
      return Fail(wanted ? "button stays disabled" : "button stays enabled");
    std::printf("ok\n");
    return 0;
  }
  if (command == "state") {
    wchar_t text[600] = {};
    GetDlgItemTextW(dialog, kFileNameEditId, text, 600);
    const LRESULT position = SendMessageW(GetDlgItem(dialog, kProgressBarId), PBM_GETPOS, 0, 0);
    std::printf("enabled=%d progress=%ld field=%ls\n", ButtonEnabled(dialog) ? 1 : 0,
                static_cast<long>(position), text);
    return 0;
  }
  if (command == "click") {
    RECT r;
    GetWindowRect(GetDlgItem(dialog, kStartButtonId), &r);
    SetForegroundWindow(dialog);
    SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    Sleep(200);
    INPUT inputs[2] = {};
    inputs[0].type = inputs[1].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(1, &inputs[0], sizeof(INPUT));
    Sleep(100);
    SendInput(1, &inputs[1], sizeof(INPUT));
    std::printf("ok\n");
    return 0;
  }
  if (command == "close") {
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    if (!WaitFor(seconds, [] { return FindDialog() == nullptr; })) return Fail("dialog stays");
    std::printf("ok\n");
    return 0;
  }
  return Fail("unknown command");
}
