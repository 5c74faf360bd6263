// The station window's tiles on Win32: what each tile says (pure, so that
// tests check it without a window) and how a set of tiles is painted into a
// device context. One tile per place, in the Start button's colours: light
// grey waiting, yellow updating with its step and a progress bar, green
// PASS, red FAIL with its reason, and a framed UNPLUG once the finished unit
// can go, as the Qt window shows them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "station/station_runner.h"
#include "ui/status_outputs.h"

namespace kbt {

struct TileLook {
  ColorRef fill = kColorLightGrey;
  std::wstring location;
  std::wstring unit;   // "unit 3  SIM-2-0002", empty while waiting
  std::wstring state;  // "waiting", "updating: program block 3", "PASS  3.4 s", "FAIL: reason"
  bool bar = false;    // a progress bar, while updating
  int steps = 0;       // of barSteps
  int barSteps = 1;
  bool unplug = false;
};

TileLook LookOf(const StationTile& tile);
// "PASS 5    FAIL 1    412.3 units/hour".
std::wstring TotalsText(const StationStatus& status);
// Below the tiles: waiting for the first keyboard, stopping, stopped.
std::wstring StationStateText(const StationStatus& status);
// UTF-8 (the core's texts) as UTF-16; bytes that are not UTF-8 are read in
// the ANSI code page (paths as the command line gives them).
std::wstring Widen(const std::string& text);

// Where tile `index` of `count` sits in a client area of `width` x `height`:
// four columns, rows as high as fit (at most 170 pixels).
RECT TileRect(int index, int count, int width, int height);

// Paints every tile of `looks` into `dc`, over a background of the
// window's colour, in an area of `width` x `height`.
void PaintTiles(HDC dc, int width, int height, const std::vector<TileLook>& looks);

}  // namespace kbt
