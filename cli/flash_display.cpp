#include "cli/flash_display.h"

#include <cstdio>

#include "cli/console.h"
#include "cli/json_lines.h"

namespace kbt::cli {

namespace {
constexpr int kSteps = UpdateSession::kRunSteps;
}

class FlashDisplay::Sink : public SessionSink {
 public:
  Sink(FlashDisplay& display, std::string location)
      : display_(display), location_(std::move(location)) {}
  void Step(const SessionProgress& progress) override { display_.Step(location_, progress); }
  void Note(const std::string& line) override { display_.Note(location_, line); }

 private:
  FlashDisplay& display_;
  std::string location_;
};

FlashDisplay::FlashDisplay(bool json)
    : json_(json), quiet_(CurrentVerbosity() == Verbosity::Quiet), tty_(IsTerminal(2)) {}

FlashDisplay::~FlashDisplay() {
  Stop();
}

void FlashDisplay::Status(const std::string& location, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (json_) {
    Json j = {{"type", "status"}};
    if (!location.empty()) j["location"] = location;
    j["text"] = text;
    PrintJsonLine(j);
    return;
  }
  if (quiet_) return;
  const std::string line = location.empty() ? text : location + ": " + text;
  if (live_) {
    // Above the progress lines, which are drawn again below it.
    std::fprintf(stderr, "\x1b[%zuA\r\x1b[J%s\n", drawn_, line.c_str());
    drawn_ = 0;
    Redraw();
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

void FlashDisplay::Start(const std::vector<std::string>& locations) {
  std::lock_guard lock(mutex_);
  order_ = locations;
  for (const std::string& l : locations) {
    lines_[l] = "waiting";
    sinks_.try_emplace(l, std::make_unique<Sink>(*this, l));
  }
  live_ = tty_ && !json_ && !quiet_;
  if (live_) Redraw();
}

SessionSink& FlashDisplay::SinkFor(const std::string& location) {
  std::lock_guard lock(mutex_);
  auto [it, added] = sinks_.try_emplace(location, nullptr);
  if (added) it->second = std::make_unique<Sink>(*this, location);
  return *it->second;
}

void FlashDisplay::Stop() {
  std::lock_guard lock(mutex_);
  live_ = false;
  drawn_ = 0;
}

void FlashDisplay::Redraw() {
  std::size_t width = 0;
  for (const std::string& l : order_) width = std::max(width, l.size());
  if (drawn_) std::fprintf(stderr, "\x1b[%zuA", drawn_);
  for (const std::string& l : order_)
    std::fprintf(stderr, "\r\x1b[K%-*s  %s\n", static_cast<int>(width), l.c_str(),
                 lines_[l].c_str());
  drawn_ = order_.size();
  std::fflush(stderr);
}

void FlashDisplay::Step(const std::string& location, const SessionProgress& progress) {
  const int position = progress.Position();
  const std::string stage = progress.StageText();
  std::lock_guard lock(mutex_);
  if (json_) {
    PrintJsonLine({{"type", "progress"},
                   {"location", location},
                   {"step", position},
                   {"steps", kSteps},
                   {"stage", stage},
                   {"attempt", progress.attempt}});
    return;
  }
  if (quiet_) return;
  if (live_) {
    lines_[location] = Format("[%-*s] %2d/%d  %s", kSteps, std::string(position, '#').c_str(),
                              position, kSteps, stage.c_str());
    Redraw();
  } else {
    std::fprintf(stderr, "%s: %d/%d %s\n", location.c_str(), position, kSteps, stage.c_str());
    std::fflush(stderr);
  }
}

void FlashDisplay::Note(const std::string& location, const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    if (json_) {
      PrintJsonLine({{"type", "note"}, {"location", location}, {"text", text}});
      return;
    }
  }
  Status(location, text);
}

}  // namespace kbt::cli
