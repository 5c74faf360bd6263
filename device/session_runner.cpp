#include "device/session_runner.h"

#include <system_error>
#include <thread>

namespace kbt {

void RunConcurrently(std::vector<std::function<void()>> jobs) {
  std::vector<std::thread> threads;
  std::vector<std::function<void()>*> leftOver;
  threads.reserve(jobs.size());
  for (auto& job : jobs) {
    try {
      threads.emplace_back(job);
    } catch (const std::system_error&) {
      leftOver.push_back(&job);
    }
  }
  for (auto* job : leftOver) (*job)();
  for (std::thread& t : threads) t.join();
}

}  // namespace kbt
