#include "device/keyboard_choice.h"

#include <algorithm>

#include "device/update_mode.h"

namespace kbt {

namespace {

using Clock = std::chrono::steady_clock;

// Without an event source, or between events, look again this often.
constexpr unsigned kPollMs = 500;

}  // namespace

KeyboardChoice ChooseKeyboard(const KeyboardList& list, const std::string& port) {
  KeyboardChoice choice;
  choice.locations = list.Locations();
  const Keyboard* chosen = nullptr;
  if (!port.empty()) {
    chosen = list.At(port);
  } else if (list.keyboards.size() > 1) {
    choice.outcome = KeyboardChoice::Outcome::Several;
    return choice;
  } else if (!list.keyboards.empty()) {
    chosen = &list.keyboards.front();
  }
  // A keyboard caught half way through its arrival is waited for.
  if (chosen && chosen->Complete()) {
    choice.outcome = KeyboardChoice::Outcome::Chosen;
    choice.keyboard = *chosen;
  }
  return choice;
}

UpdateModeWait WaitForUpdateMode(HidBackend& hid, DeviceEventSource* events,
                                 const std::string& port, Clock::time_point deadline,
                                 const std::atomic<bool>* cancel,
                                 const std::function<void(const std::string&)>& status,
                                 const Sleeper& sleep) {
  UpdateModeWait wait;
  auto cancelled = [cancel] { return cancel && cancel->load(); };
  HidBusWatch watch(hid, events, sleep);

  // The keyboard: the one at `port`, or the only one present.
  KeyboardChoice choice;
  for (;;) {
    if (cancelled()) {
      wait.outcome = UpdateModeWait::Outcome::Cancelled;
      return wait;
    }
    KeyboardList list;
    if (const HidResult listed = watch.Look(list); !listed) {
      wait.outcome = UpdateModeWait::Outcome::NoAccess;
      wait.error = listed.error;
      return wait;
    }
    choice = ChooseKeyboard(list, port);
    wait.locations = choice.locations;
    if (choice.outcome == KeyboardChoice::Outcome::Several) {
      wait.outcome = UpdateModeWait::Outcome::Several;
      return wait;
    }
    if (choice.outcome == KeyboardChoice::Outcome::Chosen) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      wait.outcome = UpdateModeWait::Outcome::TimedOut;
      return wait;
    }
    watch.WaitForChange(static_cast<unsigned>(std::min<long long>(left, kPollMs)), cancel);
  }

  // Into update mode within what is left of the wait. Once the pair went
  // out, only that keyboard's location counts: other keyboards arriving
  // meanwhile do not make the choice ambiguous.
  UpdateModeOptions options;
  options.backWithin =
      std::max(std::chrono::milliseconds(0),
               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
  options.cancel = cancel;
  options.retryEntry = true;
  options.pollMs = kPollMs;
  options.sleep = sleep;
  options.told = [&status](UpdateModeOptions::Step step, const Keyboard& k) {
    if (!status) return;
    status(step == UpdateModeOptions::Step::Entering
               ? "switching the keyboard at " + k.location + " into update mode..."
               : "keyboard at " + k.location + " in update mode");
  };
  const UpdateModeResult r = AwaitUpdateMode(hid, watch, {choice.keyboard}, options).front();
  wait.keyboard = r.keyboard;
  wait.entered = r.entered;
  wait.error = r.error;
  switch (r.outcome) {
    case UpdateModeResult::Outcome::Ready:
      wait.outcome = UpdateModeWait::Outcome::Ready;
      break;
    case UpdateModeResult::Outcome::NoAccess:
      wait.outcome = UpdateModeWait::Outcome::NoAccess;
      break;
    case UpdateModeResult::Outcome::Cancelled:
      wait.outcome = UpdateModeWait::Outcome::Cancelled;
      break;
    case UpdateModeResult::Outcome::EntryFailed:
    case UpdateModeResult::Outcome::NotBack:
      wait.outcome = UpdateModeWait::Outcome::TimedOut;
      break;
  }
  return wait;
}

}  // namespace kbt
