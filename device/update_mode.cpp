#include "device/update_mode.h"

#include <algorithm>

#include "device/sleep.h"

namespace kbt {
namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices of this length, so that a cancel is seen soon.
constexpr unsigned kSliceMs = 100;

bool IsSet(const std::atomic<bool>* flag) {
  return flag && flag->load();
}

bool Back(const Keyboard* k) {
  return k && k->mode == KeyboardMode::Update && k->Complete();
}

}  // namespace

HidResult HidBusWatch::Look(KeyboardList& list) {
  std::vector<InterfaceProbe> probes;
  if (HidResult r = ProbeInterfaces(hid_, probes); !r) return r;
  list = FindKeyboards(probes);
  return HidResult::Ok();
}

void HidBusWatch::WaitForChange(unsigned ms, const std::atomic<bool>* cancel) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!IsSet(cancel)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return;
    const unsigned slice = static_cast<unsigned>(std::min<long long>(left, kSliceMs));
    if (events_) {
      DeviceEvent event;
      if (events_->WaitEvent(event, slice)) return;
    } else {
      SleepMs(sleep_, slice);
    }
  }
}

std::vector<UpdateModeResult> AwaitUpdateMode(HidBackend& hid, BusWatch& watch,
                                              const std::vector<Keyboard>& keyboards,
                                              const UpdateModeOptions& options) {
  using Outcome = UpdateModeResult::Outcome;
  using Step = UpdateModeOptions::Step;
  auto tell = [&options](Step step, const Keyboard& k) {
    if (options.told) options.told(step, k);
  };
  auto enter = [&](UpdateModeResult& r, const Keyboard& k) {
    tell(Step::Entering, k);
    const HidResult sent = EnterUpdateMode(hid, k, options.sleep);
    r.entered = r.entered || sent.ok;
    if (!sent) r.error = sent.error;
    return sent.ok;
  };

  std::vector<UpdateModeResult> results(keyboards.size());
  std::vector<bool> waiting(keyboards.size(), false);
  for (std::size_t i = 0; i < keyboards.size(); ++i) {
    UpdateModeResult& r = results[i];
    r.keyboard = keyboards[i];
    if (Back(&keyboards[i])) {
      r.outcome = Outcome::Ready;
      tell(Step::InUpdateMode, r.keyboard);
    } else if (IsSet(options.cancel)) {
      r.outcome = Outcome::Cancelled;
    } else if (!enter(r, keyboards[i]) && !options.retryEntry) {
      r.outcome = Outcome::EntryFailed;
    } else {
      waiting[i] = true;
    }
  }

  // Each keyboard sent the pair must come back, in update mode, at the same
  // location; other keyboards arriving meanwhile change nothing.
  const auto deadline = Clock::now() + options.backWithin;
  auto endWaiting = [&](Outcome outcome, const std::string& error) {
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (!waiting[i]) continue;
      results[i].outcome = outcome;
      if (!error.empty()) results[i].error = error;
      waiting[i] = false;
    }
  };
  while (std::find(waiting.begin(), waiting.end(), true) != waiting.end()) {
    if (IsSet(options.cancel)) {
      endWaiting(Outcome::Cancelled, {});
      break;
    }
    KeyboardList list;
    if (const HidResult listed = watch.Look(list); !listed) {
      endWaiting(Outcome::NoAccess, listed.error);
      break;
    }
    bool enteredNow = false;
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (!waiting[i]) continue;
      UpdateModeResult& r = results[i];
      const Keyboard* k = list.At(r.keyboard.location);
      if (Back(k)) {
        r.outcome = Outcome::Ready;
        r.keyboard = *k;
        waiting[i] = false;
        tell(Step::InUpdateMode, r.keyboard);
      } else if (!r.entered && k && k->Complete()) {
        // Only a keyboard that took no pair yet is sent it again.
        enteredNow = enter(r, *k) || enteredNow;
      }
    }
    // A keyboard that re-enumerates at once may be back already.
    if (enteredNow) continue;
    if (Clock::now() >= deadline) {
      endWaiting(Outcome::NotBack, {});
      break;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    watch.WaitForChange(static_cast<unsigned>(std::clamp<long long>(left, 1, options.pollMs)),
                        options.cancel);
  }

  const bool anyReady = std::any_of(results.begin(), results.end(), [](const UpdateModeResult& r) {
    return r.outcome == Outcome::Ready;
  });
  if (anyReady) {
    for (unsigned waited = 0; waited < options.settleMs && !IsSet(options.cancel);
         waited += kSliceMs)
      SleepMs(options.sleep, std::min(kSliceMs, options.settleMs - waited));
  }
  return results;
}

}  // namespace kbt
