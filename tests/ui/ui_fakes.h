// Fakes of what a dialog front end gives the controller: the status outputs
// and the dialog services, both writing into one ordered log so that tests
// can check the order in which the operator would see things happen.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ui/dialog_services.h"
#include "ui/status_button.h"
#include "ui/status_outputs.h"

namespace kbt::test {

class EventLog {
 public:
  void Add(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(entries_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

inline std::string Hex(ColorRef c) {
  char text[16];
  std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(c));
  return text;
}

// Status outputs: every call lands in the log; the button's enabled state
// and the bar's position are kept as a window would keep them.
class FakeOutputs : public StatusOutputs {
 public:
  explicit FakeOutputs(EventLog& log) : log_(log) {}
  void RepaintButton() override { log_.Add("color " + Hex(g_ButtonFillColor.load())); }
  void SetProgressPos(int position) override {
    position_ = position;
    log_.Add("pos " + std::to_string(position));
  }
  void EnableStartButton(bool enabled) override {
    enabled_ = enabled;
    log_.Add(enabled ? "enable" : "disable");
  }
  std::atomic<bool> enabled_{false};
  std::atomic<int> position_{-1};

 private:
  EventLog& log_;
};

class FakeDialog : public DialogServices {
 public:
  explicit FakeDialog(EventLog& log) : log_(log) {}
  std::wstring FileNameText() override { return field; }
  void SetFileNameText(const std::wstring& text) override {
    field = text;
    log_.Add("field");
  }
  void ShowErrorBox(const std::wstring& text) override {
    boxes.push_back(text);
    log_.Add("box");
    // The box's modal loop dispatches events while it is open.
    if (whileBoxOpen) whileBoxOpen();
  }
  void SetProgressRange(int minimum, int maximum) override {
    log_.Add("range " + std::to_string(minimum) + ".." + std::to_string(maximum));
  }
  void RegisterForDeviceEvents() override { log_.Add("register"); }

  std::wstring field;
  std::vector<std::wstring> boxes;
  std::function<void()> whileBoxOpen;

 private:
  EventLog& log_;
};

}  // namespace kbt::test
