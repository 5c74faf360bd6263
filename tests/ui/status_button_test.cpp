// The Start button's look states: what each paint draws and how mouse
// messages and paints move g_ButtonState.
#include <gtest/gtest.h>

#include "ui/status_button.h"

namespace kbt {
namespace {

const ButtonRect kRect{0, 0, 75, 60};

class StatusButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetButtonLook(0x6D6D6D);
    g_ButtonRect = {};
  }
};

TEST_F(StatusButtonTest, EachStateHasItsLook) {
  struct Case {
    ButtonState state;
    bool disabled;
    ColorRef outline, caption;
    bool edge;
  };
  g_ButtonFillColor = kColorYellow;
  const Case cases[] = {
      {kButtonNormal, false, kOutlineSilver, 0, true},
      {kButtonHover, false, kOutlineWhite, 0, true},
      {kButtonPressed, false, kOutlineSilver, 0, false},
      // Disabled: the outline merges with the fill, grey caption, edge drawn.
      {kButtonNormal, true, kColorYellow, 0x6D6D6D, true},
      {kButtonPressed, true, kColorYellow, 0x6D6D6D, true},
  };
  for (const Case& c : cases) {
    g_ButtonState = c.state;
    const DrawPlan plan = PlanButtonPaint(kRect, L"start", c.disabled, false);
    EXPECT_EQ(plan.fill, kColorYellow);
    EXPECT_EQ(plan.outline, c.outline) << c.state;
    EXPECT_EQ(plan.caption, c.caption) << c.state;
    EXPECT_EQ(plan.raisedEdge, c.edge) << c.state;
    EXPECT_EQ(g_ButtonState, c.disabled ? kButtonDisabled : c.state);
  }
}

TEST_F(StatusButtonTest, DisabledLastsUntilThePaintAfterEnabling) {
  PlanButtonPaint(kRect, L"start", true, false);
  EXPECT_EQ(g_ButtonState, kButtonDisabled);
  PlanButtonPaint(kRect, L"start", true, false);
  EXPECT_EQ(g_ButtonState, kButtonDisabled);
  PlanButtonPaint(kRect, L"start", false, false);
  EXPECT_EQ(g_ButtonState, kButtonNormal);
}

TEST_F(StatusButtonTest, CaptionIsTakenAtTheFirstPaintWithText) {
  EXPECT_EQ(PlanButtonPaint(kRect, L"", false, false).text, L"");
  EXPECT_EQ(PlanButtonPaint(kRect, L"start", false, true).text, L"start");
  const DrawPlan later = PlanButtonPaint({1, 2, 30, 40}, L"changed", false, true);
  EXPECT_EQ(later.text, L"start");
  EXPECT_TRUE(later.focusRect);
  EXPECT_EQ(g_ButtonRect.right, 30);
}

TEST_F(StatusButtonTest, MouseTracking) {
  PlanButtonPaint(kRect, L"start", false, false);
  bool repaint = false;
  // First move: capture taken, hover.
  EXPECT_EQ(OnButtonMouseMove(10, 10, false, repaint), CaptureChange::Take);
  EXPECT_TRUE(repaint);
  EXPECT_EQ(g_ButtonState, kButtonHover);
  // Inside while tracking with the capture: nothing changes.
  EXPECT_EQ(OnButtonMouseMove(74, 59, true, repaint), CaptureChange::None);
  EXPECT_FALSE(repaint);
  OnButtonLeftDown();
  EXPECT_EQ(g_ButtonState, kButtonPressed);
  // Off the button with the left button held: normal, capture released.
  EXPECT_EQ(OnButtonMouseMove(75, 10, true, repaint), CaptureChange::Release);
  EXPECT_TRUE(repaint);
  EXPECT_EQ(g_ButtonState, kButtonNormal);
  EXPECT_EQ(g_ButtonTracking, 0);
  // Back in, then the control released the capture on button up: the next
  // move takes it again.
  OnButtonMouseMove(5, 5, false, repaint);
  OnButtonLeftUp();
  EXPECT_EQ(g_ButtonState, kButtonHover);
  EXPECT_EQ(OnButtonMouseMove(6, 6, false, repaint), CaptureChange::Take);
  EXPECT_EQ(g_ButtonTracking, 1);
}

}  // namespace
}  // namespace kbt
