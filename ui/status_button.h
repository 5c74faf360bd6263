// The Start button's look, shared by the Qt and Win32 buttons: one set of
// program-wide variables (the program has exactly one status button) and the
// state changes on mouse messages and paints. A toolkit button feeds its
// events in here and draws what DrawPlan says.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ui/status_outputs.h"

namespace kbt {

enum ButtonState : std::int32_t {
  kButtonNormal = 0,
  kButtonHover = 1,
  kButtonPressed = 2,
  kButtonDisabled = 3,
};

struct ButtonRect {
  std::int32_t left = 0, top = 0, right = 0, bottom = 0;
  // Left and top inclusive, right and bottom exclusive.
  bool Contains(std::int32_t x, std::int32_t y) const {
    return x >= left && x < right && y >= top && y < bottom;
  }
};

inline constexpr ColorRef kOutlineSilver = 0xC0C0C0;
inline constexpr ColorRef kOutlineWhite = 0xFFFFFF;

// Touched on the user-interface thread only, except g_ButtonFillColor, which
// SetButtonColor stores from any thread.
extern std::int32_t g_ButtonState;
extern std::int32_t g_ButtonTracking;
extern std::wstring g_ButtonCaption;
extern ColorRef g_ButtonTextColor;
extern std::atomic<ColorRef> g_ButtonFillColor;
extern ColorRef g_ButtonGrayTextColor;
extern ButtonRect g_ButtonRect;

// Construction of the button: the start values of every variable above
// (g_ButtonRect stays as it is). grayText is the system's grey-text colour.
void ResetButtonLook(ColorRef grayText);

// What one paint draws.
struct DrawPlan {
  ButtonRect rect;        // rounded rectangle, 5x5 corner ellipse
  ColorRef fill = 0;      // brush
  ColorRef outline = 0;   // 1-pixel solid pen
  ColorRef caption = 0;   // text colour, transparent background
  bool raisedEdge = true; // BDR_RAISEDINNER on {left+2, top+1, right, bottom}
  bool focusRect = false; // on {left+3, top+2, right-3, bottom-2}
  std::wstring text;      // centred, one line, end ellipsis
};

// A draw request: stores the rectangle, takes the caption from windowText
// while g_ButtonCaption is empty, moves g_ButtonState for the disabled style
// and returns what to draw.
DrawPlan PlanButtonPaint(const ButtonRect& itemRect, const std::wstring& windowText,
                         bool windowDisabled, bool hasFocus);

// What a mouse message asks the toolkit to do besides repainting.
enum class CaptureChange { None, Take, Release };

// WM_MOUSEMOVE at (x, y) in client coordinates; captureIsMine: the button
// holds the mouse capture now. Returns the capture change; every call that
// changes the state also asks for a repaint (returned in repaint).
CaptureChange OnButtonMouseMove(std::int32_t x, std::int32_t y, bool captureIsMine,
                                bool& repaint);
void OnButtonLeftDown();  // state 2; repaint
void OnButtonLeftUp();    // state 1; repaint

}  // namespace kbt
