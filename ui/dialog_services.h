// What the portable core asks of a dialog front end (Qt, Win32, the command
// line, tests). Everything here is called on the user-interface thread.
#pragma once

#include <string>

namespace kbt {

class DialogServices {
 public:
  virtual ~DialogServices() = default;

  // Whole text of the file-name field (control 1000).
  virtual std::wstring FileNameText() = 0;
  virtual void SetFileNameText(const std::wstring& text) = 0;

  // A modal box owned by the dialog: the given text, caption "Error", stop
  // icon, one OK button. Returns when the operator has closed it.
  virtual void ShowErrorBox(const std::wstring& text) = 0;

  // Range of the progress bar (control 1002); the position goes through the
  // status outputs.
  virtual void SetProgressRange(int minimum, int maximum) = 0;

  // Registers the window for arrival and removal events of HID interfaces.
  // A failed registration is not reported: the dialog runs on without events.
  virtual void RegisterForDeviceEvents() = 0;
};

}  // namespace kbt
