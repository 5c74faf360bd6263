#include "device/keyboard_choice.h"

#include <algorithm>

#include "device/sleep.h"

namespace kbt {

namespace {

using Clock = std::chrono::steady_clock;

// The time the dialog lets a keyboard settle in update mode before it
// enables Start.
constexpr unsigned kSettleMs = 2000;
// Without an event source, or between events, look again this often.
constexpr unsigned kPollMs = 500;

// Waits for the next device event or a poll interval, whichever is first,
// but not past the deadline. False at the deadline or on cancel.
bool WaitABit(DeviceEventSource* events, Clock::time_point deadline,
              const std::atomic<bool>* cancel) {
  const auto now = Clock::now();
  if (now >= deadline || (cancel && cancel->load())) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
  const unsigned wait = static_cast<unsigned>(std::min<long long>(left, kPollMs));
  if (events) {
    DeviceEvent event;
    (void)events->WaitEvent(event, wait);
  } else {
    SleepMs(wait);
  }
  return !(cancel && cancel->load());
}

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
                                 const std::function<void(const std::string&)>& status) {
  UpdateModeWait wait;
  auto say = [&status](const std::string& text) {
    if (status) status(text);
  };
  // Once the pair went out, only that keyboard's location counts: other
  // keyboards arriving meanwhile do not make the choice ambiguous.
  std::string location = port;
  for (;;) {
    if (cancel && cancel->load()) {
      wait.outcome = UpdateModeWait::Outcome::Cancelled;
      return wait;
    }
    std::vector<InterfaceProbe> probes;
    if (const HidResult listed = ProbeInterfaces(hid, probes); !listed) {
      wait.outcome = UpdateModeWait::Outcome::NoAccess;
      wait.error = listed.error;
      return wait;
    }
    const KeyboardChoice choice = ChooseKeyboard(FindKeyboards(probes), location);
    wait.locations = choice.locations;
    if (choice.outcome == KeyboardChoice::Outcome::Several) {
      wait.outcome = UpdateModeWait::Outcome::Several;
      return wait;
    }
    if (choice.outcome == KeyboardChoice::Outcome::Chosen) {
      const Keyboard& k = choice.keyboard;
      if (k.mode == KeyboardMode::Update) {
        say("keyboard at " + k.location + " in update mode");
        SleepMs(kSettleMs);
        wait.outcome = UpdateModeWait::Outcome::Ready;
        wait.keyboard = k;
        return wait;
      }
      if (!wait.entered) {
        say("switching the keyboard at " + k.location + " into update mode...");
        if (const HidResult sent = EnterUpdateMode(hid, k); sent) {
          wait.entered = true;
          location = k.location;
          continue;  // a keyboard that re-enumerates at once is back already
        }
      }
      // A vendor interface that would not open is tried again at the next
      // look; a keyboard that took the pair is not sent it again.
    }
    if (!WaitABit(events, deadline, cancel)) {
      wait.outcome = cancel && cancel->load() ? UpdateModeWait::Outcome::Cancelled
                                              : UpdateModeWait::Outcome::TimedOut;
      wait.keyboard = choice.keyboard;
      return wait;
    }
  }
}

}  // namespace kbt
