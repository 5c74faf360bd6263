// The update counter: the value each update run writes into the keyboard's
// information block, one more for every run. One per program: a program's
// start-up owns one and hands it to whatever updates keyboards there (the
// dialog, `kbupdate flash`, the station), so that keyboards updated by one
// process never get the same value, however many run at once. It starts at
// 1 and wraps after 0xFFFF.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace kbt {

// Each call takes the next value of a counter (a session's view of it).
using CounterSource = std::function<std::uint16_t()>;

class UpdateCounter {
 public:
  explicit UpdateCounter(std::uint16_t first = 1) : next_(first) {}
  UpdateCounter(const UpdateCounter&) = delete;
  UpdateCounter& operator=(const UpdateCounter&) = delete;

  // The next value, taken and moved on in one step.
  std::uint16_t Take() { return next_.fetch_add(1); }
  // The value the next run takes.
  std::uint16_t Next() const { return next_.load(); }
  // As a session's counter source; the counter must outlive the sessions.
  CounterSource Source() {
    return [this] { return Take(); };
  }

 private:
  std::atomic<std::uint16_t> next_;
};

}  // namespace kbt
