// Pixel conventions follow the GDI calls the look was designed with: a
// rectangle covers left..right-1 and top..bottom-1; RoundRect fills and
// outlines inside it with a 5x5 corner ellipse; DrawEdge's raised inner
// border is a white line on top and left and a shadow line on bottom and
// right; DrawFocusRect is a dotted rectangle that inverts what it covers.
#include "ui/qt/status_button_widget.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>

namespace kbt {

namespace {
// The 3D colours of the classic desktop: button highlight and shadow.
const QColor kEdgeHighlight(255, 255, 255);
const QColor kEdgeShadow(160, 160, 160);
constexpr int kCaptionCellHeight = 24;
}  // namespace

QColor ToQColor(ColorRef color) {
  return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                static_cast<int>((color >> 16) & 0xFF));
}

QFont StatusButtonFont() {
  QFont font;
  font.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                    QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace")});
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPixelSize(kCaptionCellHeight);
  // Qt's pixel size is the em; Windows' positive height is the whole cell.
  const int cell = QFontMetrics(font).height();
  if (cell > kCaptionCellHeight)
    font.setPixelSize(std::max(1, kCaptionCellHeight * kCaptionCellHeight / cell));
  return font;
}

void PaintDrawPlan(QPainter& painter, const DrawPlan& plan, const QFont& font) {
  const ButtonRect& r = plan.rect;
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return;

  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, false);

  painter.setPen(QPen(ToQColor(plan.outline), 1));
  painter.setBrush(ToQColor(plan.fill));
  painter.drawRoundedRect(QRect(r.left, r.top, width - 1, height - 1), 2.5, 2.5);

  if (plan.raisedEdge) {
    const int left = r.left + 2, top = r.top + 1, right = r.right - 1, bottom = r.bottom - 1;
    painter.setPen(QPen(kEdgeHighlight, 1));
    painter.drawLine(left, top, right - 1, top);
    painter.drawLine(left, top, left, bottom - 1);
    painter.setPen(QPen(kEdgeShadow, 1));
    painter.drawLine(left, bottom, right, bottom);
    painter.drawLine(right, top, right, bottom);
  }

  painter.setFont(font);
  painter.setPen(ToQColor(plan.caption));
  const QRect box(r.left, r.top, width, height);
  const QString text =
      QFontMetrics(font).elidedText(QString::fromStdWString(plan.text), Qt::ElideRight, width);
  painter.drawText(box, Qt::AlignCenter | Qt::TextSingleLine, text);

  if (plan.focusRect) {
    const QRect focus(r.left + 3, r.top + 2, width - 6 - 1, height - 4 - 1);
    if (focus.width() > 0 && focus.height() > 0) {
      QPen dots(Qt::white, 1, Qt::CustomDashLine);
      dots.setDashPattern({1, 1});
      painter.setPen(dots);
      painter.setBrush(Qt::NoBrush);
      painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
      painter.drawRect(focus);
    }
  }
  painter.restore();
}

StatusButtonWidget::StatusButtonWidget(const QString& text, QWidget* parent)
    : QPushButton(text, parent) {
  // Moves without a pressed mouse button come only with tracking on; the
  // look follows the pointer like the owner-drawn control it copies.
  setMouseTracking(true);
  // Enter belongs to the dialog (it ends it), never to this button.
  setAutoDefault(false);
  setDefault(false);
}

void StatusButtonWidget::paintEvent(QPaintEvent*) {
  const QRect r = rect();
  const DrawPlan plan = PlanButtonPaint({r.left(), r.top(), r.right() + 1, r.bottom() + 1},
                                        text().toStdWString(), !isEnabled(), hasFocus());
  QPainter painter(this);
  PaintDrawPlan(painter, plan, font());
}

void StatusButtonWidget::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  bool repaint = false;
  switch (OnButtonMouseMove(at.x(), at.y(), QWidget::mouseGrabber() == this, repaint)) {
    case CaptureChange::Take:
      grabMouse();
      break;
    case CaptureChange::Release:
      releaseMouse();
      break;
    case CaptureChange::None:
      break;
  }
  if (repaint) update();
  QPushButton::mouseMoveEvent(event);
}

void StatusButtonWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    OnButtonLeftDown();
    update();
  }
  QPushButton::mousePressEvent(event);
}

void StatusButtonWidget::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    OnButtonLeftUp();
    update();
    // A push button lets the capture go when the left button comes up, and
    // before the click is handled: the Start command may open a modal box
    // that must get the mouse.
    if (QWidget::mouseGrabber() == this) releaseMouse();
  }
  QPushButton::mouseReleaseEvent(event);
}

void StatusButtonWidget::changeEvent(QEvent* event) {
  // A window that is disabled loses the capture (the system cancels its
  // mode); its look changes at the next paint.
  if (event->type() == QEvent::EnabledChange && !isEnabled() && QWidget::mouseGrabber() == this)
    releaseMouse();
  QPushButton::changeEvent(event);
}

}  // namespace kbt
