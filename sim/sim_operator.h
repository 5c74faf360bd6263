// A scripted operator at a production-line station: reads the light and
// swaps units. When told that the unit at a location is done (the station
// shows "done, unplug", or the unit vanished before it came back), it
// unplugs that unit after a pause, and plugs a new one in at the same place
// a moment later. Each new unit is a fresh keyboard in normal operation;
// with serials on, it reports "SIM-K-NNNN" as its serial number.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_hub.h"

namespace kbt::sim {

struct OperatorTiming {
  unsigned unplugAfterMs = 800;  // reading the light, reaching for the cable
  unsigned plugAfterMs = 1200;   // from pulling the old unit to the new one plugged in
  // Each location's pauses grow by this many ms per place, over a round of
  // kStaggerPlaces places (sim-1, sim-9, sim-17, ...: none), so that the
  // locations drift apart and units arrive during other runs, while no
  // place of a large bench waits seconds longer than the first.
  unsigned staggerMs = 40;
  static constexpr int kStaggerPlaces = 8;
  bool serials = true;
};

class SimOperator {
 public:
  // Replaces every keyboard of `hub` by unit 1 of its place at once.
  // `memory`, when not empty, is what each new unit's flash holds.
  SimOperator(SimHub& hub, OperatorTiming timing = {}, std::vector<std::uint8_t> memory = {});
  ~SimOperator();  // stops; units are left as they are
  SimOperator(const SimOperator&) = delete;
  SimOperator& operator=(const SimOperator&) = delete;

  // The unit at `location` can go. Locations that are not the hub's are
  // ignored; so is a second call before the swap has happened.
  void UnitDone(const std::string& location);

  // Units plugged in so far at keyboard k (from 1), the first included.
  int UnitsPlugged(int k);
  // The serial of unit n (from 1) at keyboard k, as it reports it.
  static std::string Serial(int k, int n);

 private:
  struct Action {
    std::chrono::steady_clock::time_point at;
    int keyboard;
    bool plugIn;  // else unplug
  };
  void Thread();
  void PlugNew(int k);  // mutex_ not held

  SimHub& hub_;
  OperatorTiming timing_;
  std::vector<std::uint8_t> memory_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Action> actions_;
  std::map<int, int> plugged_;  // by keyboard
  std::map<int, bool> swapping_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kbt::sim
