// Layout: the template's coordinates are dialog units, a quarter of the
// dialog font's average character width across and an eighth of its height
// down; the font is 9 points, so the window keeps its proportions whatever
// the screen's resolution.
#include "ui/qt/main_dialog.h"

#include <QApplication>
#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <algorithm>

#include "ui/qt/status_button_widget.h"
#include "ui/qt/ui_thread.h"
#include "ui/status_outputs.h"

// The icon lives in a static library, where nothing would otherwise pull its
// resource initialiser in; the macro must stand outside any namespace.
static void InitDialogResources() {
  Q_INIT_RESOURCE(qt_resources);
}

namespace kbt {

namespace {

// Status outputs on Qt. Workers hold a reference while they call, so the
// object outlives every call; the widgets may not, hence the QPointers,
// which are only looked at on the user-interface thread.
class QtStatusOutputs : public StatusOutputs {
 public:
  QtStatusOutputs(std::shared_ptr<UiThread> ui, StatusButtonWidget* button, QProgressBar* bar)
      : ui_(std::move(ui)), button_(button), bar_(bar) {}

  void RepaintButton() override {
    QPointer<StatusButtonWidget> button = button_;
    auto repaint = [button] {
      if (button) button->update();
    };
    // A repaint request never waits for the paint.
    if (ui_->IsCurrent())
      repaint();
    else
      ui_->Post(repaint);
  }

  void SetProgressPos(int position) override {
    QPointer<QProgressBar> bar = bar_;
    ui_->Call([bar, position] {
      // The bar control clamps to its range: a position past the end shows
      // a full bar. QProgressBar would ignore it instead.
      if (bar) bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
    });
  }

  void EnableStartButton(bool enabled) override {
    QPointer<StatusButtonWidget> button = button_;
    ui_->Call([button, enabled] {
      if (button) button->setEnabled(enabled);
    });
  }

  // Qt shows a disabled widget's tooltip too, which is where it is needed.
  void SetStartButtonHint(const std::wstring& text) override {
    QPointer<StatusButtonWidget> button = button_;
    const QString tip = QString::fromStdWString(text);
    auto set = [button, tip] {
      if (button) button->setToolTip(tip);
    };
    if (ui_->IsCurrent())
      set();
    else
      ui_->Post(set);
  }

 private:
  std::shared_ptr<UiThread> ui_;
  const QPointer<StatusButtonWidget> button_;
  const QPointer<QProgressBar> bar_;
};

ColorRef ToColorRef(const QColor& c) {
  return static_cast<ColorRef>(c.red()) | (static_cast<ColorRef>(c.green()) << 8) |
         (static_cast<ColorRef>(c.blue()) << 16);
}

}  // namespace

MainDialog::MainDialog(HidBackend& hid, UpdateCounter& counter,
                       DeviceEventRegistration registration, ControllerWorkers workers)
    : QDialog(nullptr),
      ui_(std::make_shared<UiThread>()),
      hid_(hid),
      counter_(counter),
      registration_(std::move(registration)) {
  // A top-level window of its own (on the task bar), with a title, a system
  // menu and a close box, but neither minimise nor maximise.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setWindowTitle(QString::fromWCharArray(kDialogTitle));
  InitDialogResources();
  setWindowIcon(QIcon(QStringLiteral(":/kbt/icon.png")));

  // The template's font is the shell dialog font at 9 points; faces with the
  // same narrow metrics come first, so that the label fits its 33 units.
  QFont dialogFont = font();
  dialogFont.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                          QStringLiteral("Arial"), dialogFont.family()});
  dialogFont.setPointSize(9);
  setFont(dialogFont);
  const QFontMetrics metrics(dialogFont);
  // Windows' dialog base units: the average width of the 52 Latin letters,
  // rounded, and the font's cell height.
  const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  baseX_ = std::max(1, (metrics.horizontalAdvance(letters) / 26 + 1) / 2);
  baseY_ = std::max(1, metrics.height());

  label_ = new QLabel(QString::fromWCharArray(kFileNameLabel), this);
  label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  QRect labelRect = DialogUnitsToPixels(7, 7, 33, 8);
  // A face wider than the one the template was drawn with would cut the
  // label's last letters: it may use the gap up to the field.
  const int labelNeeds = metrics.horizontalAdvance(label_->text()) + 1;
  if (labelNeeds > labelRect.width())
    labelRect.setWidth(std::min(labelNeeds, DialogUnitsToPixels(41, 0, 0, 0).x() - labelRect.x()));
  label_->setGeometry(labelRect);

  field_ = new QPlainTextEdit(this);
  field_->setReadOnly(true);
  // Long paths wrap, also where they have no blank.
  field_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  field_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  field_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  field_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  field_->setTabChangesFocus(true);
  field_->setFocusPolicy(Qt::StrongFocus);
  field_->setGeometry(DialogUnitsToPixels(41, 7, 230, 36));

  button_ = new StatusButtonWidget(QString::fromWCharArray(kStartCaption), this);
  button_->setFont(StatusButtonFont());
  button_->setEnabled(false);  // the template starts it disabled
  button_->setGeometry(DialogUnitsToPixels(275, 7, 50, 37));

  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);  // the control's default state
  progress_->setValue(0);
  progress_->setTextVisible(false);
  progress_->setGeometry(DialogUnitsToPixels(7, 45, 318, 9));

  setFixedSize(DialogUnitsToPixels(0, 0, 332, 61).size());

  connect(button_, &QPushButton::clicked, this, &MainDialog::OnStartClicked);

  const QColor grey = QApplication::palette().color(QPalette::Disabled, QPalette::ButtonText);
  controller_.emplace(hid_, counter_, *this, ToColorRef(grey), std::move(workers));
  InstallStatusOutputs(std::make_shared<QtStatusOutputs>(ui_, button_, progress_));
}

MainDialog::~MainDialog() {
  // From here on workers change only the program-wide values.
  RemoveStatusOutputs();
}

QRect MainDialog::DialogUnitsToPixels(int x, int y, int width, int height) const {
  auto across = [this](int units) { return (units * baseX_ + 2) / 4; };
  auto down = [this](int units) { return (units * baseY_ + 4) / 8; };
  return QRect(across(x), down(y), across(width), down(height));
}

void MainDialog::Initialize(const std::optional<std::wstring>& givenFile) {
  controller_->Initialize(givenFile);
}

std::wstring MainDialog::FileNameText() {
  // The text widget shows a name that is not UTF-8 with replacement
  // characters and gives a no-break space back as a blank: while the field
  // shows what was put in, the Start command gets the very same path.
  const QString shown = field_->toPlainText();
  if (shown == fieldShown_) return fieldText_;
  return shown.toStdWString();
}

void MainDialog::SetFileNameText(const std::wstring& text) {
  field_->setPlainText(QString::fromStdWString(text));
  fieldText_ = text;
  fieldShown_ = field_->toPlainText();
}

void MainDialog::ShowErrorBox(const std::wstring& text) {
  QMessageBox box(QMessageBox::Critical, QString::fromWCharArray(kErrorCaption),
                  QString::fromStdWString(text), QMessageBox::Ok, this);
  box.exec();
}

void MainDialog::SetProgressRange(int minimum, int maximum) {
  progress_->setRange(minimum, maximum);
}

DeviceEventSink MainDialog::MakeDeviceEventSink() {
  std::shared_ptr<UiThread> ui = ui_;
  QPointer<MainDialog> dialog(this);
  // Device events are handled one at a time on the user-interface thread,
  // like window messages, whoever reports them.
  return [ui, dialog](const DeviceEvent& event) {
    ui->Post([dialog, event] {
      if (dialog) dialog->Controller().OnDeviceEvent(event);
    });
  };
}

void MainDialog::RegisterForDeviceEvents() {
  if (registration_) registration_(MakeDeviceEventSink());
}

void MainDialog::OnStartClicked() {
  controller_->OnStart();
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
  // Enter reaches the dialog as its OK command and ends it, as Esc does;
  // the keypad's Enter is the same key.
  const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
  if (modifiers == Qt::NoModifier &&
      (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void MainDialog::done(int result) {
  // The window goes at once, even during an update: workers are not waited
  // for and reach no widget from now on.
  RemoveStatusOutputs();
  QDialog::done(result);
}

}  // namespace kbt
