// DialogServices for the command line: the file-name field is a string, an
// error box is a line on stderr, and device events come from elsewhere.
#pragma once

#include <string>

#include "ui/dialog_services.h"

namespace kbt::cli {

class ConsoleDialog : public DialogServices {
 public:
  std::wstring FileNameText() override { return fileName_; }
  void SetFileNameText(const std::wstring& text) override { fileName_ = text; }
  // Prints "kbupdate: <text>" on stderr.
  void ShowErrorBox(const std::wstring& text) override;
  void SetProgressRange(int, int) override {}
  void RegisterForDeviceEvents() override {}

 private:
  std::wstring fileName_;
};

// Wide text as the terminal expects it.
std::string ForTerminal(const std::wstring& text);

}  // namespace kbt::cli
