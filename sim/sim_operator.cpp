#include "sim/sim_operator.h"

#include <algorithm>
#include <cstdio>

namespace kbt::sim {

std::string SimOperator::Serial(int k, int n) {
  char text[32];
  std::snprintf(text, sizeof text, "SIM-%d-%04d", k, n);
  return text;
}

SimOperator::SimOperator(SimHub& hub, OperatorTiming timing, std::vector<std::uint8_t> memory)
    : hub_(hub), timing_(timing), memory_(std::move(memory)) {
  for (int k = 1; k <= hub_.Count(); ++k) PlugNew(k);
  thread_ = std::thread([this] { Thread(); });
}

SimOperator::~SimOperator() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void SimOperator::PlugNew(int k) {
  int n;
  {
    std::lock_guard lock(mutex_);
    n = ++plugged_[k];
    swapping_[k] = false;
  }
  hub_.Keyboard(k).PlugInNewUnit(timing_.serials ? Serial(k, n) : std::string(), memory_);
}

int SimOperator::UnitsPlugged(int k) {
  std::lock_guard lock(mutex_);
  return plugged_[k];
}

void SimOperator::UnitDone(const std::string& location) {
  for (int k = 1; k <= hub_.Count(); ++k) {
    if (SimLocation(k) != location) continue;
    std::lock_guard lock(mutex_);
    if (swapping_[k]) return;
    swapping_[k] = true;
    const auto now = std::chrono::steady_clock::now();
    const unsigned stagger =
        timing_.staggerMs * static_cast<unsigned>((k - 1) % OperatorTiming::kStaggerPlaces);
    const auto unplugAt = now + std::chrono::milliseconds(timing_.unplugAfterMs + stagger);
    actions_.push_back({unplugAt, k, false});
    actions_.push_back(
        {unplugAt + std::chrono::milliseconds(timing_.plugAfterMs + stagger), k, true});
    changed_.notify_all();
    return;
  }
}

void SimOperator::Thread() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_) return;
    if (actions_.empty()) {
      changed_.wait(lock);
      continue;
    }
    auto next = std::min_element(actions_.begin(), actions_.end(),
                                 [](const Action& a, const Action& b) { return a.at < b.at; });
    if (std::chrono::steady_clock::now() < next->at) {
      changed_.wait_until(lock, next->at);
      continue;
    }
    const Action action = *next;
    actions_.erase(next);
    // The bus calls deliver device events: never with the lock held.
    lock.unlock();
    if (action.plugIn)
      PlugNew(action.keyboard);
    else
      hub_.Keyboard(action.keyboard).Unplug();
    lock.lock();
  }
}

}  // namespace kbt::sim
