// The Start button on Win32: an owner-drawn push button whose look comes
// from ui/status_button.h. The dialog subclasses control 1001 and hands its
// WM_DRAWITEM requests here.
#pragma once

#include <windows.h>

#include "ui/status_button.h"

namespace kbt {

// Adds BS_OWNERDRAW to the control's style (removing nothing, no frame
// redraw) and follows the mouse over it: hover, pressed and the capture.
// Every mouse message then goes on to the control's own processing, so its
// pushing, focus and click notification stay as they are.
bool SubclassStatusButton(HWND button);

// Paints one draw request of the button: what PlanButtonPaint says, into the
// request's device context and item rectangle.
void DrawStatusButton(const DRAWITEMSTRUCT& request);

// Draws a plan into a device context (the paint itself, also used by tests).
void DrawButtonPlan(HDC dc, const DrawPlan& plan);

}  // namespace kbt
