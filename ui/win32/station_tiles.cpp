// Painting happens into whatever device context the window hands in (its
// off-screen bitmap, so that a redraw at every step never flickers). Fonts
// are made once per paint: a paint is rare next to a run's reports.
#include "ui/win32/station_tiles.h"

#include <cstdio>

namespace kbt {
namespace {

constexpr int kColumns = 4;
constexpr int kGap = 8;
constexpr int kPadding = 10;
constexpr int kMaxTileHeight = 170;
constexpr int kMinTileHeight = 90;

std::wstring Seconds(std::int64_t ms) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

ColorRef FillOf(const StationSlot& slot) {
  switch (slot.state) {
    case SlotState::Waiting:
      return kColorLightGrey;
    case SlotState::Updating:
      return kColorYellow;
    case SlotState::Finished:
    case SlotState::DoneUnplug:
      return slot.pass.value_or(false) ? kColorGreen : kColorRed;
  }
  return kColorLightGrey;
}

HFONT MakeFont(int pixels, bool bold) {
  return CreateFontW(-pixels, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, L"Arial");
}

// One line of text from `top`, cut with an ellipsis; returns the next top.
int TextLine(HDC dc, HFONT font, const std::wstring& text, const RECT& tile, int top, int height,
             UINT extra = 0) {
  RECT r{tile.left + kPadding, top, tile.right - kPadding, top + height};
  SelectObject(dc, font);
  DrawTextW(dc, text.c_str(), -1, &r, DT_LEFT | DT_NOPREFIX | DT_END_ELLIPSIS | extra);
  return top + height;
}

void PaintTile(HDC dc, const RECT& tile, const TileLook& look, HFONT big, HFONT normal,
               HFONT mark) {
  HBRUSH fill = CreateSolidBrush(look.fill);
  FillRect(dc, &tile, fill);
  DeleteObject(fill);
  FrameRect(dc, &tile, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));

  int top = tile.top + kPadding - 2;
  top = TextLine(dc, big, look.location, tile, top, 28, DT_SINGLELINE);
  top = TextLine(dc, normal, look.unit, tile, top, 20, DT_SINGLELINE);
  // The state may wrap: a failure's reason is a sentence.
  top = TextLine(dc, normal, look.state, tile, top, 38, DT_WORDBREAK | DT_EDITCONTROL);
  if (look.bar) {
    RECT bar{tile.left + kPadding, top + 2, tile.right - kPadding, top + 18};
    FillRect(dc, &bar, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    const int steps = look.steps > look.barSteps ? look.barSteps : look.steps;
    RECT done = bar;
    done.right = bar.left + (bar.right - bar.left) * steps / look.barSteps;
    HBRUSH progress = CreateSolidBrush(RGB(0x30, 0x60, 0xC0));
    FillRect(dc, &done, progress);
    DeleteObject(progress);
    FrameRect(dc, &bar, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
  }
  if (look.unplug) {
    // Framed and large: read from across the bench.
    RECT r{tile.left + kPadding, top + 2, tile.right - kPadding, top + 44};
    if (r.bottom > tile.bottom - 4) r.bottom = tile.bottom - 4;
    SelectObject(dc, mark);
    DrawTextW(dc, L"UNPLUG", -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    for (int i = 0; i < 3; ++i) {
      const RECT frame{r.left + i, r.top + i, r.right - i, r.bottom - i};
      FrameRect(dc, &frame, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
  }
}

}  // namespace

TileLook LookOf(const StationTile& tile) {
  const StationSlot& slot = tile.slot;
  TileLook look;
  look.fill = FillOf(slot);
  look.location = Widen(slot.location);
  if (slot.unit > 0 && slot.state != SlotState::Waiting) {
    look.unit = L"unit " + std::to_wstring(slot.unit);
    if (!slot.serial.empty()) look.unit += L"  " + Widen(slot.serial);
  }
  switch (slot.state) {
    case SlotState::Waiting:
      look.state = slot.present ? L"waiting (not taken)" : L"waiting";
      break;
    case SlotState::Updating:
      look.state = L"updating: " + Widen(tile.activity);
      break;
    case SlotState::Finished:
    case SlotState::DoneUnplug:
      look.state = slot.pass.value_or(false)
                       ? L"PASS  " + Seconds(slot.endedAtMs - slot.startedAtMs)
                       : L"FAIL: " + Widen(slot.reason);
      break;
  }
  look.bar = slot.state == SlotState::Updating;
  look.barSteps = UpdateSession::kRunSteps;
  look.steps = tile.steps > look.barSteps ? look.barSteps : tile.steps;
  look.unplug = slot.state == SlotState::DoneUnplug;
  return look;
}

std::wstring TotalsText(const StationStatus& status) {
  wchar_t text[96];
  std::swprintf(text, 96, L"PASS %d    FAIL %d    %.1f units/hour", status.passed, status.failed,
                status.unitsPerHour);
  return text;
}

std::wstring StationStateText(const StationStatus& status) {
  if (!status.taking)
    return status.running > 0 ? L"Stopping: finishing the runs in progress"
                              : L"Stopped: no new units are taken";
  return status.tiles.empty() ? L"Waiting for keyboards..." : L"";
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  for (const UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int n = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    if (n <= 0) continue;
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
  }
  return {};
}

RECT TileRect(int index, int count, int width, int height) {
  const int rows = count <= 0 ? 1 : (count + kColumns - 1) / kColumns;
  const int tileWidth = (width - (kColumns - 1) * kGap) / kColumns;
  int tileHeight = (height - (rows - 1) * kGap) / rows;
  if (tileHeight > kMaxTileHeight) tileHeight = kMaxTileHeight;
  if (tileHeight < kMinTileHeight) tileHeight = kMinTileHeight;
  const int column = index % kColumns;
  const int row = index / kColumns;
  const int left = column * (tileWidth + kGap);
  const int top = row * (tileHeight + kGap);
  return RECT{left, top, left + tileWidth, top + tileHeight};
}

void PaintTiles(HDC dc, int width, int height, const std::vector<TileLook>& looks) {
  const RECT all{0, 0, width, height};
  FillRect(dc, &all, GetSysColorBrush(COLOR_BTNFACE));
  HFONT big = MakeFont(22, true);
  HFONT normal = MakeFont(15, false);
  HFONT mark = MakeFont(28, true);
  const int saved = SaveDC(dc);
  const int count = static_cast<int>(looks.size());
  for (int i = 0; i < count; ++i)
    PaintTile(dc, TileRect(i, count, width, height), looks[static_cast<std::size_t>(i)], big,
              normal, mark);
  RestoreDC(dc, saved);
  DeleteObject(big);
  DeleteObject(normal);
  DeleteObject(mark);
}

}  // namespace kbt
