#include "cli/station_display.h"

#include <cmath>
#include <cstdio>

#include "cli/console.h"
#include "cli/json_lines.h"
#include "cli/station_database.h"
#include "station/results_log.h"

namespace kbt::cli {
namespace {

constexpr int kBarSteps = UpdateSession::kRunSteps;  // a bar full at the end of a run

double Seconds(std::int64_t ms) {
  return static_cast<double>(ms) / 1000.0;
}

std::string ResultText(const StationSlot& slot) {
  const double s = Seconds(slot.endedAtMs - slot.startedAtMs);
  // In lower case: a script that counts PASS and FAIL lines counts only
  // units that are in the results log.
  if (!slot.recorded)
    return Format("not recorded (the run %s after %.1f s; its log line could not be written)",
                  slot.pass.value_or(false) ? "passed" : "failed", s);
  if (slot.pass.value_or(false)) return Format("PASS %.1f s", s);
  return Format("FAIL %.1f s: %s", s, slot.reason.c_str());
}

std::string UnitText(const StationSlot& slot) {
  std::string text = Format("unit %d", slot.unit);
  if (!slot.serial.empty()) text += " (" + slot.serial + ")";
  return text;
}

// `text` cut to fewer than `columns` characters (UTF-8 counted by
// characters): a line the terminal wraps takes two rows, and the redraw,
// which moves up one row per line, would leave the rest of it behind. One
// column is left free, as some terminals wrap at a character in the last
// one.
std::string Fit(const std::string& text, int columns) {
  if (columns <= 1) return text;
  int shown = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (++shown == columns) return text.substr(0, i);
  }
  return text;
}

}  // namespace

std::string TileText(const StationTile& tile) {
  const StationSlot& slot = tile.slot;
  std::string text = Format("%-12s ", slot.location.c_str());
  switch (slot.state) {
    case SlotState::Waiting:
      return text + (slot.present ? "waiting (not taken)" : "waiting");
    case SlotState::Updating: {
      const int shown = tile.steps > kBarSteps ? kBarSteps : tile.steps;
      return text + UnitText(slot) + "  updating [" + std::string(shown, '#') +
             std::string(kBarSteps - shown, '.') + "] " + tile.activity;
    }
    case SlotState::Finished:
      return text + UnitText(slot) + "  " + ResultText(slot);
    case SlotState::DoneUnplug:
      return text + UnitText(slot) + "  " + ResultText(slot) + "  -- done, unplug";
  }
  return text;
}

std::string TotalsText(const StationStatus& status) {
  std::string text = Format("PASS %d  FAIL %d  running %d  units/hour %.1f", status.passed,
                            status.failed, status.running, status.unitsPerHour);
  if (!status.taking) text += "  (taking no new units)";
  return text;
}

void StationDisplay::Update(const StationStatus& status, const StationEvent& event) {
  switch (style_) {
    case Style::Terminal:
      // Notes would scroll the tiles away; the results log keeps each reason.
      Draw(status, event.kind != StationEvent::Kind::Progress);
      break;
    case Style::Lines:
      Line(status, event);
      break;
    case Style::Json:
      Json(status, event);
      break;
  }
  if (onEvent) onEvent(event);
}

void StationDisplay::Draw(const StationStatus& status, bool force) {
  // Progress redraws at most 20 times a second; state changes at once.
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - lastDraw_ < std::chrono::milliseconds(50)) return;
  lastDraw_ = now;
  const int width = columns > 0 ? columns : TerminalColumns(1);
  std::string out;
  if (drawnLines_ > 0) out += Format("\x1b[%dA", drawnLines_);  // back to the first line
  for (const StationTile& tile : status.tiles)
    out += "\r\x1b[2K" + Fit(TileText(tile), width) + "\n";
  out += "\r\x1b[2K" + Fit(TotalsText(status), width) + "\n";
  drawnLines_ = static_cast<int>(status.tiles.size()) + 1;
  if (status.database) {
    out += "\r\x1b[2K" + Fit("database: " + DatabaseText(*status.database), width) + "\n";
    ++drawnLines_;
  }
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

void StationDisplay::Line(const StationStatus& status, const StationEvent& event) {
  const StationTile* tile = status.TileAt(event.location);
  std::string text;
  switch (event.kind) {
    case StationEvent::Kind::Slot:
      if (!tile || tile->slot.state == SlotState::Finished) return;  // Ended said it
      if (tile->slot.state == SlotState::DoneUnplug) return;         // Done says it
      text = event.location + ": " +
             (tile->slot.state == SlotState::Updating ? UnitText(tile->slot) + " updating"
                                                      : std::string("waiting"));
      break;
    case StationEvent::Kind::Progress:
      if (CurrentVerbosity() != Verbosity::Verbose || !tile) return;
      text = event.location + ": " + tile->activity;
      break;
    case StationEvent::Kind::Ended:
      if (!tile) return;
      // PASS and FAIL in capitals only on the unit's own line, so that a
      // script may count them.
      text = event.location + ": " + UnitText(tile->slot) + " " + ResultText(tile->slot) +
             Format("  [%d passed, %d failed]", status.passed, status.failed);
      break;
    case StationEvent::Kind::Done:
      if (!tile || tile->slot.state != SlotState::DoneUnplug) return;
      text = event.location + ": done, unplug";
      break;
    case StationEvent::Kind::Note:
      text = event.location + ": " + event.text;
      break;
    case StationEvent::Kind::Stopping:
      text = "stopping: " + event.text + "; waiting for the runs in progress";
      break;
    case StationEvent::Kind::Database:
      if (!status.database) return;
      text = "database: " + DatabaseText(*status.database);
      break;
  }
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void StationDisplay::Json(const StationStatus& status, const StationEvent& event) {
  const StationTile* tile = status.TileAt(event.location);
  cli::Json line;
  switch (event.kind) {
    case StationEvent::Kind::Slot:
      if (!tile) return;
      line = {{"type", "slot"},
              {"location", event.location},
              {"state", SlotStateName(tile->slot.state)},
              {"unit", tile->slot.unit},
              {"serial", tile->slot.serial}};
      break;
    case StationEvent::Kind::Progress:
      if (!tile) return;
      line = {{"type", "progress"},  {"location", event.location}, {"unit", tile->slot.unit},
              {"step", tile->steps}, {"steps", kBarSteps},         {"activity", tile->activity}};
      break;
    case StationEvent::Kind::Ended: {
      const StationUnitResult& r = *event.result;
      line = {{"type", "unit"},
              {"time", IsoTime(r.ended)},
              {"location", r.location},
              {"unit", r.unit},
              {"serial", r.serial},
              {"result", r.pass ? "PASS" : "FAIL"},
              {"duration_ms", r.durationMs},
              {"counter", r.counter ? cli::Json(*r.counter) : cli::Json(nullptr)},
              {"reason", r.reason},
              {"recorded", r.recorded},
              {"passed", status.passed},
              {"failed", status.failed}};
      break;
    }
    case StationEvent::Kind::Done:
      line = {{"type", "done"}, {"location", event.location}};
      break;
    case StationEvent::Kind::Note:
      line = {{"type", "note"}, {"location", event.location}, {"text", event.text}};
      break;
    case StationEvent::Kind::Stopping:
      line = {{"type", "stopping"}, {"text", event.text}};
      break;
    case StationEvent::Kind::Database: {
      if (!status.database) return;
      const UnitStoreStatus& d = *status.database;
      const bool away = d.state == UnitStoreStatus::State::Away;
      line = {{"type", "database"},
              {"state", away ? "away" : "connected"},
              {"server", d.server},
              {"since", away ? cli::Json(IsoTime(d.awaySince)) : cli::Json(nullptr)},
              {"reason", d.reason},
              {"waiting", d.waiting},
              {"sent", d.sent}};
      break;
    }
  }
  PrintJsonLine(line);
}

void StationDisplay::Totals(const StationStatus& status, const std::string& logPath) {
  if (style_ == Style::Json) {
    cli::Json line = {{"type", "totals"},
                      {"passed", status.passed},
                      {"failed", status.failed},
                      {"units", status.passed + status.failed},
                      {"elapsed_s", std::round(Seconds(status.elapsedMs) * 10) / 10},
                      {"units_per_hour", std::round(status.unitsPerHour * 10) / 10},
                      {"log", logPath}};
    if (status.database) {
      line["database_waiting"] = status.database->waiting;
      line["database_sent"] = status.database->sent;
    }
    PrintJsonLine(line);
    return;
  }
  if (style_ == Style::Terminal) Draw(status, true);
  std::printf(
      "totals: %d passed, %d failed, %d unit%s in %.1f s, %.1f units per hour; results in %s\n",
      status.passed, status.failed, status.passed + status.failed,
      status.passed + status.failed == 1 ? "" : "s", Seconds(status.elapsedMs), status.unitsPerHour,
      logPath.c_str());
  if (const auto& d = status.database) {
    if (d->waiting == 0)
      std::printf("database: every row sent (%zu this run)\n", d->sent);
    else
      std::printf(
          "database: %zu rows waiting (%s); they go with the next start with --db, or\n"
          "  with kbupdate results push --db CONNINFO %s\n",
          d->waiting, d->reason.empty() ? "not sent in time" : d->reason.c_str(), logPath.c_str());
  }
  std::fflush(stdout);
}

}  // namespace kbt::cli
