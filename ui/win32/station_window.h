// The station window on Win32: template 200 from the program's resources
// (the firmware and the results log's path, the totals, the tiles, the
// station's state), the tiles painted by station_tiles.h. It shows what the
// core's station runner reports and decides nothing: the runner runs on a
// thread of its own, and its sink queues each status and posts one message
// to the window, which takes everything queued on its own thread. Closing
// the window cancels the runs in progress (recorded as interrupted) and
// waits for the runner before the window goes.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "station/station_runner.h"

namespace kbt {

inline constexpr int kStationDialogId = 200;
inline constexpr int kStationHeaderId = 2000;
inline constexpr int kStationTotalsId = 2001;
inline constexpr int kStationTilesId = 2002;
inline constexpr int kStationStateId = 2003;

class StationWindow {
 public:
  // `firmware` is the file's name, `logPath` the results log's full path.
  StationWindow(HINSTANCE instance, std::wstring firmware, std::wstring logPath);
  ~StationWindow();  // stops the runner, destroys the window
  StationWindow(const StationWindow&) = delete;
  StationWindow& operator=(const StationWindow&) = delete;

  // The runner's sink: any thread.
  StationSink* Sink();
  // Creates the window from its template and shows it (null on failure).
  HWND Create();
  // Starts `runner` (built over Sink()) on a thread of its own.
  void Start(StationRunner& runner);
  // Pumps messages until the window has gone (the program's loop).
  void RunMessageLoop();
  // Cancels the runs, waits for the runner and destroys the window; what
  // closing the window does.
  void Close();

  // Called on the window's thread with every event after it was shown (the
  // simulated operator reads the tiles through it).
  std::function<void(const StationStatus&, const StationEvent&)> onEvent;

  HWND Window() const { return window_; }
  // On the window's thread: shows `status` (the tests call it directly).
  void Show(const StationStatus& status);
  // What the tiles show now.
  const StationStatus& Shown() const { return shown_; }
  // Paints everything that is due now (before a screenshot).
  void PaintNow();

 private:
  class PostingSink;
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK TilesProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void InitDialog();
  void Layout();
  void TakeQueued();
  void PaintTilesControl(HWND tiles);
  void StopRunner();

  HINSTANCE instance_;
  std::wstring firmware_;
  std::wstring logPath_;
  std::unique_ptr<PostingSink> sink_;
  HWND window_ = nullptr;
  HWND tiles_ = nullptr;
  HFONT totalsFont_ = nullptr;
  HICON icon_ = nullptr;
  StationStatus shown_;
  StationRunner* runner_ = nullptr;
  std::thread thread_;
};

}  // namespace kbt
