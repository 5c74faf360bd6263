// What `kbupdate station` shows while it runs, on stdout: on a terminal one
// line per location and a totals line, redrawn in place; otherwise one line
// per event; with --json one JSON object per event. The station's sink: it
// only shows, it decides nothing.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "station/station_runner.h"

namespace kbt::cli {

class StationDisplay : public StationSink {
 public:
  enum class Style { Terminal, Lines, Json };
  explicit StationDisplay(Style style) : style_(style) {}

  void Update(const StationStatus& status, const StationEvent& event) override;
  // The last word: the totals, after the runner has returned.
  void Totals(const StationStatus& status, const std::string& logPath);
  // Called with every event after it was shown (the simulated operator).
  std::function<void(const StationEvent&)> onEvent;
  // The terminal's width for the redraw; 0: asked of stdout at every redraw
  // (the window may be resized).
  int columns = 0;

 private:
  void Draw(const StationStatus& status, bool force);
  void Line(const StationStatus& status, const StationEvent& event);
  void Json(const StationStatus& status, const StationEvent& event);

  Style style_;
  int drawnLines_ = 0;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// One location as the terminal shows it: "sim-1   unit 3  updating [#####....] program block 3".
std::string TileText(const StationTile& tile);
// "PASS 5  FAIL 1  running 2  units/hour 412.3".
std::string TotalsText(const StationStatus& status);

}  // namespace kbt::cli
