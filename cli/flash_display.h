// What `kbupdate flash` shows while keyboards update: the session sink of
// each keyboard and the lines around it. On a terminal one line per
// keyboard (location, bar, stage), redrawn in place, with notes printed
// above them as they happen; in a pipe one plain line per event, prefixed
// with the location; with --json one object per event on stdout. The bar
// and the stage text are the session's (SessionProgress): the bar counts
// stages, so a repeated pass moves it back, never past the run's steps.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/session.h"

namespace kbt::cli {

class FlashDisplay {
 public:
  explicit FlashDisplay(bool json);
  ~FlashDisplay();

  // A line of what the command does (looking, switching, waiting).
  void Status(const std::string& location, const std::string& text);
  // The keyboards whose progress is shown from now on, one line each.
  void Start(const std::vector<std::string>& locations);
  // The sink of one keyboard's session; lives as long as the display.
  SessionSink& SinkFor(const std::string& location);
  // Ends the progress lines (the cursor below them).
  void Stop();

 private:
  class Sink;
  void Step(const std::string& location, const SessionProgress& progress);
  void Note(const std::string& location, const std::string& text);
  void Redraw();  // mutex_ held

  bool json_;
  bool quiet_;
  bool tty_;
  std::mutex mutex_;
  std::vector<std::string> order_;
  std::map<std::string, std::string> lines_;  // by location, the progress line
  std::map<std::string, std::unique_ptr<Sink>> sinks_;
  std::size_t drawn_ = 0;  // progress lines on the screen below the cursor's row
  bool live_ = false;
};

}  // namespace kbt::cli
