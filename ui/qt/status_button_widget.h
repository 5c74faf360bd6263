// The Start button on Qt: a push button that keeps the control's own click,
// focus and keyboard behaviour and draws itself from the program-wide look
// variables. Mouse messages and paints go through the shared state machine
// (ui/status_button.h); this file only turns its DrawPlan into pixels and
// its capture requests into grabMouse/releaseMouse.
#pragma once

#include <QFont>
#include <QPushButton>

#include "ui/status_button.h"

class QPainter;

namespace kbt {

// Colour of a 0x00BBGGRR value.
QColor ToQColor(ColorRef color);

// The caption font: "Courier New" with a cell height (ascent plus descent)
// of 24 pixels, as Windows measures a positive font height; another
// monospace face where it is missing.
QFont StatusButtonFont();

// Draws one plan on the button's own pixels.
void PaintDrawPlan(QPainter& painter, const DrawPlan& plan, const QFont& font);

class StatusButtonWidget : public QPushButton {
  Q_OBJECT

 public:
  explicit StatusButtonWidget(const QString& text, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;
};

}  // namespace kbt
