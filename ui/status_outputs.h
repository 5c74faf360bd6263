// Status outputs: the one door through which workers change what the operator
// sees. Every free function here may be called from any thread.
//
// A front end installs its StatusOutputs; before one is installed, and after
// it has been removed (the window is gone), the calls change the program-wide
// values only and reach no window.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "dialog/dialog_sink.h"

namespace kbt {

// A colour laid out 0x00BBGGRR (red in the low byte), as a Windows COLORREF.
using ColorRef = std::uint32_t;

inline constexpr ColorRef kColorLightGrey = 0xF3F3F3;
inline constexpr ColorRef kColorYellow = 0x00FFFF;
inline constexpr ColorRef kColorGreen = 0x00FF00;
inline constexpr ColorRef kColorRed = 0x0000FF;

class StatusOutputs {
 public:
  virtual ~StatusOutputs() = default;

  // Asks for a repaint of the whole Start button with background erasing and
  // returns without waiting for it. The paint reads g_ButtonFillColor.
  virtual void RepaintButton() = 0;

  // Sets the progress bar position. Applied on the user-interface thread
  // before a calling worker goes on (directly when called on that thread).
  virtual void SetProgressPos(int position) = 0;

  // Enables or disables the Start button; delivered like SetProgressPos.
  virtual void EnableStartButton(bool enabled) = 0;

  // The Start button's tooltip: why it stays grey, or empty. Returns without
  // waiting. A front end without tooltips ignores it.
  virtual void SetStartButtonHint(const std::wstring& text) { (void)text; }
};

// The position the next Progress step sends.
extern std::atomic<std::int32_t> g_ProgressStep;

void InstallStatusOutputs(std::shared_ptr<StatusOutputs> outputs);
void RemoveStatusOutputs();

// The dialog's side of what its workers report (dialog/dialog_sink.h): the
// colours, the Progress step and the button state, through the functions
// below.
std::shared_ptr<DialogSink> StatusOutputsDialogSink();

// Stores the colour into g_ButtonFillColor, then asks for a repaint.
void SetButtonColor(ColorRef color);
void SetProgressPos(int position);
// Sends the value of g_ProgressStep and leaves it one higher.
void ProgressStep();
void EnableStartButton(bool enabled);
void SetStartButtonHint(const std::wstring& text);

}  // namespace kbt
