#include "ui/status_button.h"

namespace kbt {

std::int32_t g_ButtonState = kButtonNormal;
std::int32_t g_ButtonTracking = 0;
std::wstring g_ButtonCaption;
ColorRef g_ButtonTextColor = 0;
std::atomic<ColorRef> g_ButtonFillColor{kColorLightGrey};
ColorRef g_ButtonGrayTextColor = 0x6D6D6D;
ButtonRect g_ButtonRect;

void ResetButtonLook(ColorRef grayText) {
  g_ButtonState = kButtonNormal;
  g_ButtonTracking = 0;
  g_ButtonCaption.clear();
  g_ButtonTextColor = 0;
  g_ButtonFillColor = kColorLightGrey;
  g_ButtonGrayTextColor = grayText;
}

DrawPlan PlanButtonPaint(const ButtonRect& itemRect, const std::wstring& windowText,
                         bool windowDisabled, bool hasFocus) {
  g_ButtonRect = itemRect;
  // The caption is taken once, at the first paint that finds a window text.
  if (g_ButtonCaption.empty()) g_ButtonCaption = windowText;

  // A disabled window gets no mouse messages, so the paint is where the
  // disabled look starts and ends.
  if (g_ButtonState == kButtonDisabled) g_ButtonState = kButtonNormal;
  if (windowDisabled) g_ButtonState = kButtonDisabled;

  DrawPlan plan;
  plan.rect = g_ButtonRect;
  plan.fill = g_ButtonFillColor.load();
  switch (g_ButtonState) {
    case kButtonHover:
      plan.outline = kOutlineWhite;
      plan.caption = g_ButtonTextColor;
      break;
    case kButtonPressed:
      plan.outline = kOutlineSilver;
      plan.caption = g_ButtonTextColor;
      plan.raisedEdge = false;
      break;
    case kButtonDisabled:
      plan.outline = plan.fill;  // the outline merges with the fill
      plan.caption = g_ButtonGrayTextColor;
      break;
    default:
      plan.outline = kOutlineSilver;
      plan.caption = g_ButtonTextColor;
      break;
  }
  plan.focusRect = hasFocus;
  plan.text = g_ButtonCaption;
  return plan;
}

CaptureChange OnButtonMouseMove(std::int32_t x, std::int32_t y, bool captureIsMine,
                                bool& repaint) {
  repaint = false;
  if (g_ButtonTracking && captureIsMine) {
    if (g_ButtonRect.Contains(x, y)) return CaptureChange::None;
    g_ButtonTracking = 0;
    g_ButtonState = kButtonNormal;
    repaint = true;
    return CaptureChange::Release;
  }
  g_ButtonTracking = 1;
  g_ButtonState = kButtonHover;
  repaint = true;
  return CaptureChange::Take;
}

void OnButtonLeftDown() { g_ButtonState = kButtonPressed; }
void OnButtonLeftUp() { g_ButtonState = kButtonHover; }

}  // namespace kbt
