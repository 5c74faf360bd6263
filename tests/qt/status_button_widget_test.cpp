// The Start button's pixels in each look and each fill colour: fill,
// outline, caption and the raised edge.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <QTest>

#include "ui/qt/status_button_widget.h"

namespace kbt {
namespace {

constexpr int kWidth = 75, kHeight = 69;
constexpr ColorRef kGreyText = 0x6D6D6D;

int Distance(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
         std::abs(a.blue() - b.blue());
}

// Pixels of the caption's band that are close to `color`.
int CaptionPixels(const QImage& image, QColor color) {
  int n = 0;
  for (int y = 15; y < kHeight - 15; ++y)
    for (int x = 6; x < kWidth - 6; ++x)
      if (Distance(image.pixelColor(x, y), color) < 60) ++n;
  return n;
}

QImage Render(StatusButtonWidget& button, ButtonState state, bool enabled) {
  button.setEnabled(enabled);
  g_ButtonState = state;
  return button.grab().toImage();
}

TEST(StatusButtonWidgetTest, EachLookInEachFillColour) {
  struct Look {
    const char* name;
    ButtonState state;
    bool enabled;
    bool edge;
  };
  const Look looks[] = {
      {"normal", kButtonNormal, true, true},
      {"hover", kButtonHover, true, true},
      {"pressed", kButtonPressed, true, false},
      {"disabled", kButtonNormal, false, true},
  };
  StatusButtonWidget button(QStringLiteral("start"));
  button.setFont(StatusButtonFont());
  button.resize(kWidth, kHeight);
  ResetButtonLook(kGreyText);
  for (ColorRef fill : {kColorLightGrey, kColorYellow, kColorGreen, kColorRed}) {
    g_ButtonFillColor = fill;
    const QColor fillColor = ToQColor(fill);
    for (const Look& look : looks) {
      SCOPED_TRACE(testing::Message() << look.name << " on " << std::hex << fill);
      const QImage image = Render(button, look.state, look.enabled);
      ASSERT_EQ(image.width(), kWidth);
      // Fill inside the edge, top left and bottom right.
      EXPECT_EQ(image.pixelColor(5, 5), fillColor);
      EXPECT_EQ(image.pixelColor(kWidth - 6, kHeight - 6), fillColor);
      // Outline: the top row, clear of the rounded corners.
      const QColor outline = !look.enabled                ? fillColor
                             : look.state == kButtonHover ? QColor(255, 255, 255)
                                                          : QColor(192, 192, 192);
      EXPECT_EQ(image.pixelColor(kWidth / 2, 0), outline);
      EXPECT_EQ(image.pixelColor(0, kHeight / 2), outline);
      // Raised inner edge: white one row below the outline, shadow on the
      // bottom row; without it, the fill and the outline show there.
      if (look.edge) {
        EXPECT_EQ(image.pixelColor(kWidth / 2, 1), QColor(255, 255, 255));
        EXPECT_EQ(image.pixelColor(kWidth / 2, kHeight - 1), QColor(160, 160, 160));
        EXPECT_EQ(image.pixelColor(kWidth - 1, kHeight / 2), QColor(160, 160, 160));
      } else {
        EXPECT_EQ(image.pixelColor(kWidth / 2, 1), fillColor);
        EXPECT_EQ(image.pixelColor(kWidth / 2, kHeight - 1), outline);
      }
      // Caption: black, or the grey-text colour when disabled.
      const QColor caption = look.enabled ? QColor(0, 0, 0) : ToQColor(kGreyText);
      EXPECT_GT(CaptionPixels(image, caption), 20);
      // The disabled look sticks until a paint of the enabled button.
      EXPECT_EQ(g_ButtonState, look.enabled ? look.state : kButtonDisabled);
    }
  }
}

TEST(StatusButtonWidgetTest, CaptionIsCutToOneLine) {
  StatusButtonWidget button(QStringLiteral("x"));
  button.setFont(StatusButtonFont());
  button.resize(kWidth, kHeight);
  ResetButtonLook(kGreyText);
  g_ButtonCaption = L"a caption far too wide for the button";
  const QImage image = Render(button, kButtonNormal, true);
  // Dark pixels only in the middle band: one line, no wrap.
  for (int y = 0; y < kHeight; ++y) {
    bool dark = false;
    for (int x = 3; x < kWidth - 3; ++x)
      if (Distance(image.pixelColor(x, y), QColor(0, 0, 0)) < 100) dark = true;
    if (y < 18 || y > kHeight - 18) {
      EXPECT_FALSE(dark) << "row " << y;
    }
  }
  EXPECT_GT(CaptionPixels(image, QColor(0, 0, 0)), 20);
}

TEST(StatusButtonWidgetTest, CaptionFontIsMonospaceWithA24PixelCell) {
  const QFont font = StatusButtonFont();
  const QFontMetrics metrics(font);
  EXPECT_LE(metrics.height(), 24);
  EXPECT_GE(metrics.height(), 20);
  EXPECT_EQ(metrics.horizontalAdvance(QStringLiteral("iiii")),
            metrics.horizontalAdvance(QStringLiteral("MMMM")));
}

TEST(StatusButtonWidgetTest, FocusRectangleInsideTheOutline) {
  QWidget window;
  auto* button = new StatusButtonWidget(QStringLiteral("start"), &window);
  button->setFont(StatusButtonFont());
  button->setGeometry(0, 0, kWidth, kHeight);
  window.resize(kWidth + 20, kHeight + 20);
  ResetButtonLook(kGreyText);
  g_ButtonFillColor = kColorYellow;
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  // Dotted and inverting: on the left line x = 3, every other pixel is the
  // inverse of the fill (blue on yellow).
  auto invertedOnFocusLine = [&] {
    const QImage image = button->grab().toImage();
    int n = 0;
    for (int y = 2; y < kHeight - 2; ++y)
      if (image.pixelColor(3, y) == QColor(0, 0, 255)) ++n;
    return n;
  };
  button->clearFocus();
  EXPECT_EQ(invertedOnFocusLine(), 0);
  for (bool enabled : {true, false}) {
    button->setEnabled(true);
    button->setFocus();
    ASSERT_TRUE(button->hasFocus());
    button->setEnabled(enabled);  // a disabled button keeps no focus
    EXPECT_EQ(invertedOnFocusLine() > kHeight / 4, button->hasFocus()) << enabled;
  }
}

}  // namespace
}  // namespace kbt
