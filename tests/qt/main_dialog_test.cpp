// The dialog on the offscreen platform: its window, the Start command's bar
// and boxes, status outputs from worker threads, device events from any
// thread, and closing while workers still call in.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGlyphRun>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRawFont>
#include <QScrollBar>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "device/empty_hid.h"
#include "device/update_counter.h"
#include "dialog/dialog_state.h"
#include "dialog/discovery.h"
#include "image/firmware_image.h"
#include "image/hex_file_location.h"
#include "tests/device/fake_hid.h"
#include "tests/dialog/dialog_support.h"
#include "ui/qt/main_dialog.h"
#include "ui/qt/status_button_widget.h"
#include "ui/status_button.h"
#include "ui/status_outputs.h"

namespace kbt {
namespace {

using NoHid = EmptyHidBackend;

const DevicePath kDataPath = L"/dev/hidraw4";

struct Box {
  QString title, text;
  QMessageBox::Icon icon;
  QFont textFont;  // the font of the label that shows the text
};

// Closes every modal box that opens while `action` runs and returns them.
std::vector<Box> CloseBoxesDuring(const std::function<void()>& action) {
  std::vector<Box> boxes;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      QFont textFont = box->font();
      for (const QLabel* label : box->findChildren<QLabel*>()) {
        if (label->text() == box->text()) textFont = label->font();
      }
      boxes.push_back({box->windowTitle(), box->text(), box->icon(), textFont});
      box->button(QMessageBox::Ok)->click();
    }
  });
  closer.start(10);
  action();
  return boxes;
}

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetStatusOutputs(nullptr);  // the dialog installs its own outputs
    dir_ = std::filesystem::temp_directory_path() /
           ("kbt-qt-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(dir_);
    dialog_ = std::make_unique<MainDialog>(hid_, counter_, DeviceEventRegistration{}, workers_);
  }
  void TearDown() override {
    dialog_.reset();
    running_ = {};
    std::filesystem::remove_all(dir_);
  }
  // A ready device, as a discovery leaves it.
  void MakeReady() {
    State().WriteDevicePaths({kDataPath, L"/dev/hidraw5"});
    SetButtonColor(kColorYellow);
    State().deviceReady = true;
    EnableStartButton(true);
  }
  std::wstring WriteFile(const char* name, bool withSignature) {
    std::ofstream out(dir_ / name);
    out << ":10000000112233445566778899AABBCCDDEEFF0078\n";
    if (withSignature) {
      // "KORVANE CO.,LTD" as UTF-16LE at 0x40; the reader skips the checksum.
      const char* text = "KORVANE CO.,LTD";
      std::string data;
      char b[3];
      for (int i = 0; i < 15; ++i) {
        std::snprintf(b, sizeof b, "%02X", text[i]);
        data += b;
        data += "00";
      }
      out << ":1E004000" << data << "00\n";
    }
    out << ":00000001FF\n";
    return (dir_ / name).wstring();
  }

  // The dialog's state, which its controller owns.
  DialogState& State() { return dialog_->State(); }

  NoHid hid_;
  UpdateCounter counter_;
  int discoveries_ = 0;
  std::unique_lock<std::mutex> running_;
  ControllerWorkers workers_{
      [this](const std::shared_ptr<DialogState>&, HidBackend&) { ++discoveries_; },
      [this](const std::shared_ptr<DialogState>&, HidBackend&, std::unique_lock<std::mutex> lock) {
        running_ = std::move(lock);
      }};
  std::unique_ptr<MainDialog> dialog_;
  std::filesystem::path dir_;
};

TEST_F(MainDialogTest, WindowAsTheTemplateDescribesIt) {
  MainDialog& d = *dialog_;
  EXPECT_EQ(d.windowTitle(), QStringLiteral("Korvane keyboard Update Tool  By Z51K7   V1.0.0.4"));
  EXPECT_EQ(d.minimumSize(), d.maximumSize());
  EXPECT_FALSE(d.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(d.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(d.windowIcon().isNull());
  auto* label = d.findChild<QLabel*>();
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->text(), QStringLiteral("File Name:"));
  EXPECT_TRUE(d.FileNameField()->isReadOnly());
  EXPECT_EQ(d.FileNameField()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_NE(d.FileNameField()->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(d.StartButton()->text(), QStringLiteral("start"));
  EXPECT_FALSE(d.StartButton()->isEnabled());
  EXPECT_EQ(g_ButtonFillColor.load(), kColorLightGrey);
  // The template's proportions: button 50x37 and bar 318x9 of a 332x61 window.
  const QRect button = d.StartButton()->geometry();
  const QRect bar = d.ProgressBar()->geometry();
  EXPECT_NEAR(button.width() * 332.0 / d.width(), 50, 1);
  EXPECT_NEAR(bar.width() * 332.0 / d.width(), 318, 1);
  EXPECT_NEAR(button.height() * 61.0 / d.height(), 37, 1);
  EXPECT_LT(button.right(), d.width());
  EXPECT_LT(bar.bottom(), d.height());
}

TEST_F(MainDialogTest, InitialisationFillsTheField) {
  dialog_->Initialize();
  EXPECT_EQ(discoveries_, 1);
  EXPECT_FALSE(dialog_->FileNameText().empty());
}

// "Open with" on a .hex file: the field shows the given file instead of the
// search's result, and Start converts exactly that file.
TEST_F(MainDialogTest, GivenFileTakesTheSearchsPlace) {
  const std::wstring given = WriteFile("elsewhere.hex", true);
  dialog_->Initialize(given);
  EXPECT_EQ(discoveries_, 1);
  EXPECT_EQ(dialog_->FileNameField()->toPlainText(), QString::fromStdWString(given));
  MakeReady();
  const auto boxes = CloseBoxesDuring([&] { dialog_->StartButton()->click(); });
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(running_.owns_lock());
}

// Glyph 0 is a font's "missing glyph" box. Lays the text out as a label
// would, font fallback included, and names the faces that had no glyph.
QStringList FacesMissingAGlyph(const QString& text, const QFont& font) {
  QTextLayout layout(text, font);
  layout.beginLayout();
  QTextLine line = layout.createLine();
  line.setLineWidth(100000);
  layout.endLayout();
  QStringList faces;
  for (const QGlyphRun& run : layout.glyphRuns()) {
    for (const quint32 glyph : run.glyphIndexes()) {
      if (glyph == 0) faces << run.rawFont().familyName();
    }
  }
  return faces;
}

// The boxes end in the full-width "!" (U+FF01), which Latin fonts lack: a
// font that has it must be installed, or the box ends in a missing-glyph box.
TEST_F(MainDialogTest, ErrorBoxTextsHaveEveryGlyph) {
  // The check itself sees a character that no font has.
  ASSERT_FALSE(FacesMissingAGlyph(QString::fromUcs4(U"x\U0010FFFD"), QFont()).isEmpty());
  for (const wchar_t* text : {kNoFindHexFileBox, kHexToBinErrorBox, kHexFileErrorBox}) {
    const auto boxes = CloseBoxesDuring([&] { dialog_->ShowErrorBox(text); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QString::fromWCharArray(text));
    const QStringList faces = FacesMissingAGlyph(boxes[0].text, boxes[0].textFont);
    EXPECT_TRUE(faces.isEmpty()) << boxes[0].text.toStdString() << " in "
                                 << boxes[0].textFont.family().toStdString() << ": no glyph in "
                                 << faces.join(", ").toStdString();
  }
}

TEST_F(MainDialogTest, EscAndEnterEndTheDialog) {
  struct Case {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    QDialog::DialogCode result;
  };
  // The keypad's Enter is the same Enter key to the dialog.
  for (const Case c : {Case{Qt::Key_Escape, Qt::NoModifier, QDialog::Rejected},
                       Case{Qt::Key_Return, Qt::NoModifier, QDialog::Accepted},
                       Case{Qt::Key_Enter, Qt::KeypadModifier, QDialog::Accepted}}) {
    const auto [key, modifiers, result] = c;
    SCOPED_TRACE(key);
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    dialog_->FileNameField()->setFocus();
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : dialog_.get(), key,
                    modifiers);
    EXPECT_FALSE(dialog_->isVisible());
    EXPECT_EQ(dialog_->result(), result);
  }
}

TEST_F(MainDialogTest, StartSetsTheBarToZeroOfSeventeen) {
  MakeReady();
  dialog_->ProgressBar()->setValue(60);
  dialog_->SetFileNameText(WriteFile("good.hex", true));
  const auto boxes = CloseBoxesDuring([&] { dialog_->StartButton()->click(); });
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(dialog_->ProgressBar()->minimum(), 0);
  EXPECT_EQ(dialog_->ProgressBar()->maximum(), 17);
  EXPECT_EQ(dialog_->ProgressBar()->value(), 0);
  EXPECT_FALSE(dialog_->StartButton()->isEnabled());
  EXPECT_TRUE(running_.owns_lock());
  // Positions past the end show a full bar.
  SetProgressPos(18);
  EXPECT_EQ(dialog_->ProgressBar()->value(), 17);
}

// The field is the only road from the file search to the Start command: a
// name the search found must come back from the field as it went in, also
// where the text widget would show it otherwise (bytes that are not UTF-8,
// a no-break space).
TEST_F(MainDialogTest, FoundFileReachesTheStartCommandUnchanged) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows file names are UTF-16";
#else
  const std::filesystem::path good(WriteFile("good.hex", true));
  for (const char* name : {"fw\xff\xc3.hex", "fw\xc2\xa0v2.hex"}) {
    SCOPED_TRACE(name);
    const std::filesystem::path folder = dir_ / "found";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(good, folder / name);
    dialog_->SetFileNameText(
        FindHexFileFor((folder / "keyboard-update-tool").wstring()).FieldText());
    const HexFileSearch found = FindHexFileFor((folder / "keyboard-update-tool").wstring());
    ASSERT_EQ(found.path.empty(), false);
    EXPECT_EQ(dialog_->FileNameText(), found.path);
    MakeReady();
    running_ = {};
    const auto boxes = CloseBoxesDuring([&] { dialog_->StartButton()->click(); });
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text.toStdString());
    EXPECT_TRUE(running_.owns_lock());
  }
  running_ = {};
#endif
}

TEST_F(MainDialogTest, RefusedStartsShowTheirBoxes) {
  const std::wstring missing = (dir_ / "gone.hex").wstring();
  struct Case {
    std::wstring field;
    QStringList texts;
  };
  const Case cases[] = {
      {kNoFindHexFile, {QString::fromWCharArray(L"No Find HexFile\uFF01")}},
      {missing,
       {QString::fromStdWString(missing + L"  No Finded"),
        QString::fromWCharArray(L"HexToBin Error\uFF01")}},
      {WriteFile("plain.hex", false), {QStringLiteral("Hex File Error!")}},
  };
  for (const Case& c : cases) {
    MakeReady();
    dialog_->SetFileNameText(c.field);
    const auto boxes = CloseBoxesDuring([&] { dialog_->StartButton()->click(); });
    ASSERT_EQ(boxes.size(), static_cast<std::size_t>(c.texts.size()));
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      EXPECT_EQ(boxes[i].text, c.texts[static_cast<int>(i)]);
      EXPECT_EQ(boxes[i].title, QStringLiteral("Error"));
      EXPECT_EQ(boxes[i].icon, QMessageBox::Critical);
    }
    EXPECT_FALSE(dialog_->StartButton()->isEnabled());
    EXPECT_EQ(dialog_->ProgressBar()->maximum(), 17);
    EXPECT_FALSE(running_.owns_lock());
  }
}

TEST_F(MainDialogTest, MouseMovesTheLookAndTheCapture) {
  dialog_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  MakeReady();
  StatusButtonWidget* button = dialog_->StartButton();
  const QPoint inside = button->rect().center();
  const QPoint outside = inside + QPoint(button->width() * 2, 0);
  auto edgeShown = [&] {
    return button->grab().toImage().pixelColor(button->width() / 2, 1) == QColor(255, 255, 255);
  };

  // QTest moves the real pointer when no button is held (on xcb a warp that
  // comes back from the X server later, or never when the pointer is already
  // there): deliver the move to the button itself, as it does with a button
  // held.
  auto moveTo = [&](QPoint to, int expected, Qt::MouseButtons held = Qt::NoButton) {
    QMouseEvent move(QEvent::MouseMove, to, button->mapToGlobal(to), Qt::NoButton, held,
                     Qt::NoModifier);
    QApplication::sendEvent(button, &move);
    return g_ButtonState == expected;
  };

  EXPECT_TRUE(moveTo(inside, kButtonHover));
  EXPECT_EQ(QWidget::mouseGrabber(), button);
  QTest::mousePress(button, Qt::LeftButton, Qt::NoModifier, inside);
  EXPECT_EQ(g_ButtonState, kButtonPressed);
  EXPECT_FALSE(edgeShown());
  // Off the button with the left button held: the normal look, capture gone.
  EXPECT_TRUE(moveTo(outside, kButtonNormal, Qt::LeftButton));
  EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
  EXPECT_TRUE(edgeShown());
  QTest::mouseRelease(button, Qt::LeftButton, Qt::NoModifier, outside);

  // A click: the capture goes before the Start command opens its box, which
  // must get the mouse; the box closes and the button stays disabled.
  dialog_->SetFileNameText(kNoFindHexFile);
  ASSERT_TRUE(moveTo(inside, kButtonHover));
  QTest::mousePress(button, Qt::LeftButton, Qt::NoModifier, inside);
  QWidget* grabberDuringBox = button;
  const auto boxes = CloseBoxesDuring([&] {
    QTimer::singleShot(0, [&] { grabberDuringBox = QWidget::mouseGrabber(); });
    QTest::mouseRelease(button, Qt::LeftButton, Qt::NoModifier, inside);
  });
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(grabberDuringBox, nullptr);
  EXPECT_FALSE(button->isEnabled());
  EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
}

TEST_F(MainDialogTest, WorkersReachTheWidgetsOnTheirThread) {
  std::atomic<int> step{0};
  std::thread worker([&] {
    SetButtonColor(kColorYellow);
    EnableStartButton(true);
    step = 1;
    SetProgressPos(5);
    step = 2;
    SetButtonColor(kColorGreen);
    step = 3;
  });
  // The worker's calls wait for this thread, which keeps handling events.
  QTRY_VERIFY_WITH_TIMEOUT(step == 3, 5000);
  worker.join();
  EXPECT_TRUE(dialog_->StartButton()->isEnabled());
  EXPECT_EQ(dialog_->ProgressBar()->value(), 5);
  QApplication::processEvents();
  const QImage image = dialog_->StartButton()->grab().toImage();
  EXPECT_EQ(image.pixelColor(5, 5), QColor(0, 255, 0));
  EXPECT_TRUE(dialog_->StartButton()->isEnabled());
}

TEST_F(MainDialogTest, ProgressFromAWorkerIsShownBeforeItGoesOn) {
  dialog_->SetProgressRange(0, kProgressMaximum);
  g_ProgressStep = 1;
  std::atomic<int> sent{0};
  std::thread worker([&] {
    for (int i = 1; i <= kProgressMaximum; ++i) {
      ProgressStep();
      sent = i;
    }
  });
  // Whenever this thread looks, the bar shows at least what the worker has
  // finished sending: each step was applied before the worker went on.
  int checks = 0;
  while (sent < kProgressMaximum) {
    ASSERT_GE(dialog_->ProgressBar()->value(), sent.load());
    QApplication::processEvents();
    ++checks;
  }
  worker.join();
  EXPECT_EQ(dialog_->ProgressBar()->value(), kProgressMaximum);
  EXPECT_EQ(g_ProgressStep.load(), kProgressMaximum + 1);
  EXPECT_GT(checks, 0);
}

TEST_F(MainDialogTest, DeviceEventsFromAnyThreadAreHandledHere) {
  MakeReady();
  DeviceEventSink sink = dialog_->MakeDeviceEventSink();
  std::thread([&] { sink({DeviceEvent::Kind::Removal, true, L"/DEV/HIDRAW4"}); }).join();
  EXPECT_TRUE(State().deviceReady.load());  // not yet: it waits for this thread
  QTRY_VERIFY_WITH_TIMEOUT(!State().deviceReady.load(), 5000);
  EXPECT_FALSE(dialog_->StartButton()->isEnabled());
  EXPECT_EQ(g_ButtonFillColor.load(), kColorLightGrey);
  EXPECT_TRUE(State().bootEntryHold.load());
  std::thread([&] { sink({DeviceEvent::Kind::Arrival, true, {}}); }).join();
  QTRY_COMPARE_WITH_TIMEOUT(discoveries_, 1, 5000);
}

// A keyboard whose interfaces the user may not open leaves the button grey
// and disabled, as before; only its tooltip says why and what to run. The
// passes run on a worker thread, as the dialog starts them.
TEST_F(MainDialogTest, StartButtonTooltipSaysWhyItStaysGrey) {
  State().sleep = [](unsigned) {};
  auto discover = [this](std::vector<test::FakeInterface> interfaces) {
    test::FakeHid hid(std::move(interfaces));
    // Enabling the button waits for this thread, which keeps handling events.
    std::atomic<bool> done{false};
    std::thread worker([&] {
      DiscoveryWorker(State(), hid);
      done = true;
    });
    while (!done) QApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    QApplication::processEvents();
  };
  auto at = [](const wchar_t* node, std::uint16_t vid, std::uint16_t pid, std::uint16_t page,
               std::uint16_t length) {
    test::FakeInterface i;
    i.info = test::Info(node, vid, pid, page, length);
    return i;
  };
  const test::FakeInterface boot = at(L"/dev/hidraw2", 0x4B54, 0x0101, 0x0001, 0);
  test::FakeInterface denied = at(L"/dev/hidraw3", 0x4B54, 0x0101, 0xFF00, 6);
  denied.opens = false;
  test::FakeInterface gone = denied;
  gone.opens = true;
  gone.openError = "open /dev/hidraw3: device gone";
  const test::FakeInterface data = at(L"/dev/hidraw4", 0x0603, 0x1020, 0xFF00, 2050);
  const test::FakeInterface command = at(L"/dev/hidraw5", 0x0603, 0x1020, 0xFF00, 6);
  StatusButtonWidget* button = dialog_->StartButton();
  const QImage before = button->grab().toImage();
  const auto widgets = dialog_->findChildren<QWidget*>().size();

  discover({boot, denied});
  const QString tip = button->toolTip();
  EXPECT_TRUE(tip.contains(QStringLiteral("permission denied on /dev/hidraw3")))
      << tip.toStdString();
  EXPECT_TRUE(tip.contains(QStringLiteral("sudo kbupdate access --install"))) << tip.toStdString();
  EXPECT_FALSE(button->isEnabled());
  EXPECT_EQ(g_ButtonFillColor.load(), kColorLightGrey);
  EXPECT_EQ(button->grab().toImage(), before) << "the look stays as it is";
  EXPECT_EQ(dialog_->findChildren<QWidget*>().size(), widgets) << "no new control";

  // Access given (or the keyboard gone): the next pass takes the hint away.
  discover({boot});
  EXPECT_TRUE(button->toolTip().isEmpty());

  // A failure that no access rule would cure gives no hint.
  discover({boot, gone});
  EXPECT_TRUE(button->toolTip().isEmpty()) << button->toolTip().toStdString();

  // Found while another keyboard stays out of reach: the button is usable,
  // so there is nothing to explain.
  discover({boot, denied});
  ASSERT_FALSE(button->toolTip().isEmpty());
  discover({data, command, denied});
  EXPECT_TRUE(button->isEnabled());
  EXPECT_TRUE(button->toolTip().isEmpty()) << button->toolTip().toStdString();
}

TEST_F(MainDialogTest, ClosingDuringWorkerCallsTouchesNoWidget) {
  dialog_->show();
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  std::thread worker([&] {
    while (!stop) {
      ProgressStep();
      SetButtonColor(kColorRed);
      EnableStartButton(calls % 2 == 0);
      ++calls;
    }
  });
  QTRY_VERIFY_WITH_TIMEOUT(calls > 20, 5000);
  DeviceEventSink sink = dialog_->MakeDeviceEventSink();
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  dialog_.reset();
  // Calls and events after the window is gone change the values only.
  const int before = calls;
  QTRY_VERIFY_WITH_TIMEOUT(calls > before + 20, 5000);
  sink({DeviceEvent::Kind::Arrival, true, {}});
  stop = true;
  worker.join();
  QApplication::processEvents();
  EXPECT_EQ(g_ButtonFillColor.load(), kColorRed);
}

}  // namespace
}  // namespace kbt
