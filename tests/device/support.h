// Shared fixtures of the device tests: recorded waits and the trace as lines.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "device/hid_trace.h"
#include "device/sleep.h"

namespace kbt::test {

// Records every wait handed to Function() instead of sleeping; `hook` runs
// inside each wait (tests use it to act in the middle of a run). Outlives
// whatever it is handed to.
class RecordedSleep {
 public:
  explicit RecordedSleep(std::function<void(unsigned)> hook = {}) : hook_(std::move(hook)) {}
  RecordedSleep(const RecordedSleep&) = delete;
  RecordedSleep& operator=(const RecordedSleep&) = delete;

  // What a session, a wait or a dialog's state takes as its Sleeper.
  Sleeper Function() {
    return [this](unsigned ms) {
      {
        std::lock_guard lock(mutex_);
        waits_.push_back(ms);
      }
      if (hook_) hook_(ms);
    };
  }
  std::vector<unsigned> Waits() {
    std::lock_guard lock(mutex_);
    return waits_;
  }

 private:
  std::function<void(unsigned)> hook_;
  std::mutex mutex_;
  std::vector<unsigned> waits_;
};

inline std::vector<std::string> TraceLines(const std::vector<TraceRecord>& trace) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < trace.size(); ++i) lines.push_back(FormatTraceLine(i + 1, trace[i]));
  return lines;
}

}  // namespace kbt::test
