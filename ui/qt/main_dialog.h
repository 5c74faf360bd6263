// The tool's one window on Qt: the controls of dialog template 102, the
// status outputs that workers reach it through, and the device events that
// wake it. Everything that decides something is in DialogController.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "device/hid.h"
#include "ui/dialog_controller.h"
#include "ui/dialog_services.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;

namespace kbt {

class StatusButtonWidget;
class UiThread;

// Delivers a device event to the dialog; callable from any thread, and
// harmless once the dialog is gone.
using DeviceEventSink = std::function<void(const DeviceEvent&)>;
// Hooks the dialog up to a source of device events (the hidraw monitor, the
// simulated bus). Called once, by Dialog initialisation.
using DeviceEventRegistration = std::function<void(DeviceEventSink)>;

class MainDialog : public QDialog, public DialogServices {
  Q_OBJECT

 public:
  // `counter` is the program's update counter (UpdateCounter).
  MainDialog(HidBackend& hid, UpdateCounter& counter, DeviceEventRegistration registration = {},
             ControllerWorkers workers = ControllerWorkers::Real());
  ~MainDialog() override;

  // Dialog initialisation: the first discovery, the device events and the
  // file-name field (the given file, or the search beside the program).
  // Call once, before the window is shown.
  void Initialize(const std::optional<std::wstring>& givenFile = std::nullopt);

  // DialogServices, on the user-interface thread.
  std::wstring FileNameText() override;
  void SetFileNameText(const std::wstring& text) override;
  void ShowErrorBox(const std::wstring& text) override;
  void SetProgressRange(int minimum, int maximum) override;
  void RegisterForDeviceEvents() override;

  DeviceEventSink MakeDeviceEventSink();
  DialogController& Controller() { return *controller_; }
  DialogState& State() { return controller_->State(); }

  StatusButtonWidget* StartButton() const { return button_; }
  QProgressBar* ProgressBar() const { return progress_; }
  QPlainTextEdit* FileNameField() const { return field_; }

  // Dialog units of template 102 to pixels, for the dialog font.
  QRect DialogUnitsToPixels(int x, int y, int width, int height) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 public slots:
  void done(int result) override;

 private:
  void OnStartClicked();

  std::shared_ptr<UiThread> ui_;
  int baseX_ = 6, baseY_ = 13;  // dialog base units of the dialog font
  QLabel* label_ = nullptr;
  QPlainTextEdit* field_ = nullptr;
  // The text last put into the field, and the field's text right after.
  std::wstring fieldText_;
  QString fieldShown_;
  StatusButtonWidget* button_ = nullptr;
  QProgressBar* progress_ = nullptr;
  HidBackend& hid_;
  UpdateCounter& counter_;
  DeviceEventRegistration registration_;
  std::optional<DialogController> controller_;
};

}  // namespace kbt
