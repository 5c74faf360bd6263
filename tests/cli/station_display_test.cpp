// The station's terminal screen: redrawn in place by moving up one row per
// line it printed, so no line may take more than one row.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/station_display.h"

namespace kbt::cli {
namespace {

// What `draw` printed on stdout.
template <typename F>
std::string CapturedStdout(F&& draw) {
  std::fflush(stdout);
  std::FILE* capture = std::tmpfile();
  const int saved = dup(1);
  dup2(fileno(capture), 1);
  draw();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string text;
  std::rewind(capture);
  for (int c; (c = std::fgetc(capture)) != EOF;) text += static_cast<char>(c);
  std::fclose(capture);
  return text;
}

TEST(StationScreen, LinesWiderThanTheTerminalAreCut) {
  StationStatus status;
  StationTile tile;
  tile.slot.location = "sim-1";
  tile.slot.state = SlotState::Finished;
  tile.slot.unit = 1;
  tile.slot.pass = false;
  tile.slot.reason = "verify pass attempt 10, block 6: read-back differs at " +
                     std::string(120, 'x') + " \u00e9\u00e9\u00e9";
  status.tiles.push_back(tile);
  tile.slot.location = "sim-2";
  tile.slot.state = SlotState::Waiting;
  status.tiles.push_back(tile);
  StationDisplay display(StationDisplay::Style::Terminal);
  display.columns = 40;
  const StationEvent event{StationEvent::Kind::Ended, "sim-1", {}, nullptr};
  const std::string out = CapturedStdout([&] {
    display.Update(status, event);
    display.Update(status, event);
  });
  // Each redraw goes back up over the three lines (two tiles, the totals).
  EXPECT_NE(out.find("\x1b[3A"), std::string::npos);
  std::size_t lines = 0;
  for (std::size_t at = 0; at < out.size();) {
    std::size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    at = end + 1;
    line = line.substr(line.rfind("\x1b[2K") + 4);  // what shows of it
    std::size_t characters = 0;
    for (const char c : line) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    EXPECT_LT(characters, 40u) << line;
    ++lines;
  }
  EXPECT_EQ(lines, 6u) << out;
  EXPECT_NE(out.find("sim-1        unit 1  FAIL"), std::string::npos) << out;
}

}  // namespace
}  // namespace kbt::cli
