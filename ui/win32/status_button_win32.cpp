#include "ui/win32/status_button_win32.h"

#include <commctrl.h>
#include <windowsx.h>

#include <string>

namespace kbt {
namespace {

constexpr UINT_PTR kSubclassId = 1001;

// DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS: centred both
// ways on one line, cut with an ellipsis when too wide.
constexpr UINT kCaptionFormat = 0x8025;
static_assert(kCaptionFormat == (DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS));

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return text;
}

LRESULT CALLBACK ButtonProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                            DWORD_PTR) {
  switch (message) {
    case WM_MOUSEMOVE: {
      bool repaint = false;
      const CaptureChange change = OnButtonMouseMove(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam),
                                                     GetCapture() == window, repaint);
      if (change == CaptureChange::Take) SetCapture(window);
      if (change == CaptureChange::Release) ReleaseCapture();
      if (repaint) InvalidateRect(window, nullptr, TRUE);
      break;
    }
    case WM_LBUTTONDOWN:
      OnButtonLeftDown();
      InvalidateRect(window, nullptr, TRUE);
      break;
    case WM_LBUTTONUP:
      OnButtonLeftUp();
      InvalidateRect(window, nullptr, TRUE);
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(window, ButtonProc, kSubclassId);
      break;
    default:
      break;
  }
  return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace

bool SubclassStatusButton(HWND button) {
  const LONG style = GetWindowLongW(button, GWL_STYLE);
  SetWindowLongW(button, GWL_STYLE, style | BS_OWNERDRAW);
  return SetWindowSubclass(button, ButtonProc, kSubclassId, 0) != FALSE;
}

void DrawButtonPlan(HDC dc, const DrawPlan& plan) {
  const int saved = SaveDC(dc);
  // Brush and pen live for this one paint.
  HBRUSH brush = CreateSolidBrush(plan.fill);
  HPEN pen = CreatePen(PS_SOLID, 1, plan.outline);
  SelectObject(dc, brush);
  SelectObject(dc, pen);

  RECT rect{plan.rect.left, plan.rect.top, plan.rect.right, plan.rect.bottom};
  RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, 5, 5);
  if (plan.raisedEdge) {
    // Inset on the left and top only; right and bottom are the button's own.
    RECT edge{rect.left + 2, rect.top + 1, rect.right, rect.bottom};
    DrawEdge(dc, &edge, BDR_RAISEDINNER, BF_RECT);
  }
  SetTextColor(dc, plan.caption);
  SetBkMode(dc, TRANSPARENT);
  DrawTextW(dc, plan.text.c_str(), -1, &rect, kCaptionFormat);
  if (plan.focusRect) {
    RECT focus{rect.left + 3, rect.top + 2, rect.right - 3, rect.bottom - 2};
    DrawFocusRect(dc, &focus);
  }

  RestoreDC(dc, saved);
  DeleteObject(brush);
  DeleteObject(pen);
}

void DrawStatusButton(const DRAWITEMSTRUCT& request) {
  // Only the device context and the item rectangle of the request count;
  // the state comes from the window itself and from the mouse handling.
  HWND button = request.hwndItem;
  const ButtonRect itemRect{request.rcItem.left, request.rcItem.top, request.rcItem.right,
                            request.rcItem.bottom};
  const bool disabled = (GetWindowLongW(button, GWL_STYLE) & WS_DISABLED) != 0;
  const DrawPlan plan =
      PlanButtonPaint(itemRect, WindowText(button), disabled, GetFocus() == button);
  DrawButtonPlan(request.hDC, plan);
}

}  // namespace kbt
