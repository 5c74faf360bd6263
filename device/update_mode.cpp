#include "device/update_mode.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "device/session_runner.h"
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
      if (events_->WaitEvent(event, slice)) {
        // The events already queued belong to the same change (a keyboard's
        // interfaces come and go together, keyboards re-enumerate at once):
        // one look after all of them, not one per event.
        while (events_->WaitEvent(event, 0)) {
        }
        return;
      }
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
  std::vector<UpdateModeResult> results(keyboards.size());
  // The pair to several keyboards at once, one thread each: its pauses are
  // each keyboard's own, and a feature report holds its caller until the
  // device has answered, so one thread would take the keyboards one after
  // another. Told on this thread first, in order. True when any took it.
  auto enter = [&](const std::vector<std::pair<std::size_t, Keyboard>>& which) {
    for (const auto& [i, k] : which) tell(Step::Entering, k);
    std::vector<HidResult> sent(which.size());
    if (which.size() == 1) {
      sent[0] = EnterUpdateMode(hid, which[0].second, options.sleep);
    } else {
      std::vector<std::function<void()>> jobs;
      for (std::size_t j = 0; j < which.size(); ++j)
        jobs.push_back([&, j] { sent[j] = EnterUpdateMode(hid, which[j].second, options.sleep); });
      RunConcurrently(std::move(jobs));
    }
    bool any = false;
    for (std::size_t j = 0; j < which.size(); ++j) {
      UpdateModeResult& r = results[which[j].first];
      r.entered = r.entered || sent[j].ok;
      if (!sent[j]) r.error = sent[j].error;
      any = any || sent[j].ok;
    }
    return any;
  };

  std::vector<bool> waiting(keyboards.size(), false);
  std::vector<std::pair<std::size_t, Keyboard>> toEnter;
  for (std::size_t i = 0; i < keyboards.size(); ++i) {
    UpdateModeResult& r = results[i];
    r.keyboard = keyboards[i];
    if (Back(&keyboards[i])) {
      r.outcome = Outcome::Ready;
      tell(Step::InUpdateMode, r.keyboard);
    } else if (IsSet(options.cancel)) {
      r.outcome = Outcome::Cancelled;
    } else {
      toEnter.emplace_back(i, keyboards[i]);
    }
  }
  if (!toEnter.empty()) {
    enter(toEnter);
    for (const auto& [i, k] : toEnter) {
      if (!results[i].entered && !options.retryEntry)
        results[i].outcome = Outcome::EntryFailed;
      else
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
    toEnter.clear();
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
        toEnter.emplace_back(i, *k);
      }
    }
    const bool enteredNow = !toEnter.empty() && enter(toEnter);
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
