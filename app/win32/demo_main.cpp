// The demo of the Windows program: the same dialog over the simulated
// keyboard instead of the machine's HID layer, so the whole cycle can be
// watched without hardware (also under Wine).
//
// The simulated bus announces arrivals and removals through a callback; the
// demo sends them to the dialog as WM_DEVICECHANGE messages carrying the
// same DEV_BROADCAST_DEVICEINTERFACE_W the system would send, so they take
// the dialog's real road. Its script:
//   - the keyboard is plugged in (normal operation) a moment after start;
//   - when it leaves the bus at the end of an update (Finish), the demo keeps
//     it "attached" until the update has ended and a pause has passed, so the
//     result colour stays visible; then the removal and the new arrival reach
//     the dialog, which greys the button and finds the keyboard again.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "app/win32/startup.h"
#include "device/windows/hid_windows_events.h"
#include "dialog/dialog_state.h"
#include "sim/sim_bus.h"

namespace kbt {
namespace {

constexpr unsigned kPlugInDelayMs = 1500;
constexpr unsigned kResultPauseMs = 4000;
constexpr unsigned kReenumerateDelayMs = 1200;

// Carries the bus's events to the dialog window in order, on a thread of
// its own (the bus calls back from whichever thread made the device move).
class EventRelay {
 public:
  void SetWindow(HWND window) { window_ = window; }
  HWND Window() const { return window_.load(); }

  // The dialog's state, told by its first discovery (before the keyboard
  // is plugged in).
  void SetState(std::shared_ptr<DialogState> state) { state_.store(std::move(state)); }

  // From the bus's callback: an event that comes while an update runs is
  // the device leaving at its Finish; it and everything after it wait.
  void Push(const DeviceEvent& event) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back({event, UpdateBusy()});
    }
    changed_.notify_all();
  }

  void Run(sim::SimBus& bus) {
    // The window exists, then a moment later the cable goes in.
    while (Window() == nullptr) Sleep(20);
    Sleep(kPlugInDelayMs);
    bus.PlugIn();
    for (;;) {
      Pending next;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !queue_.empty(); });
        next = queue_.front();
        queue_.pop_front();
      }
      if (next.afterUpdate) {
        while (UpdateBusy()) Sleep(50);
        Sleep(kResultPauseMs);
        // Whatever came in the meantime belongs to the same replug.
        std::lock_guard lock(mutex_);
        for (Pending& p : queue_) p.afterUpdate = false;
      }
      Deliver(next.event);
    }
  }

 private:
  struct Pending {
    DeviceEvent event;
    bool afterUpdate = false;
  };

  bool UpdateBusy() const {
    const std::shared_ptr<DialogState> state = state_.load();
    return state && state->updateBusy.load();
  }

  void Deliver(const DeviceEvent& event) {
    HWND window = Window();
    if (window == nullptr) return;
    // Sent, not posted, as the system sends them: a WM_DEVICECHANGE whose
    // lParam points at a broadcast may not be posted (ERROR_MESSAGE_SYNC_ONLY).
    // This thread holds no lock while the dialog handles it.
    InterfaceBroadcast broadcast = MakeInterfaceBroadcast(event.path);
    const WPARAM kind =
        event.kind == DeviceEvent::Kind::Arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    SendMessageW(window, WM_DEVICECHANGE, kind, reinterpret_cast<LPARAM>(broadcast.get()));
  }

  std::atomic<HWND> window_{nullptr};
  std::atomic<std::shared_ptr<DialogState>> state_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Pending> queue_;
};

}  // namespace
}  // namespace kbt

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  kbt::InitCommonControlsForDialog();

  kbt::sim::SimBusOptions busOptions;
  busOptions.reenumerateDelayMs = kbt::kReenumerateDelayMs;
  busOptions.latency = kbt::sim::FullSpeedUsbLatency;
  // Never destroyed: the process ends without tearing the bus down under a
  // worker that may still use it.
  auto* bus = new kbt::sim::SimBus(kbt::sim::SimMode::Normal, busOptions);
  auto* relay = new kbt::EventRelay;
  bus->Unplug();  // on the desk, not yet plugged in
  bus->SetEventCallback([relay](const kbt::DeviceEvent& event) { relay->Push(event); });
  // Kept joinable and never destroyed, like the workers: a thread detached
  // at its start has been seen never to run under winpthreads.
  new std::thread([bus, relay] { relay->Run(*bus); });

  kbt::MainDialogOptions options;
  options.windowChanged = [relay](HWND window) { relay->SetWindow(window); };
  auto discovery = options.workers.discovery;
  options.workers.discovery = [relay, discovery](const std::shared_ptr<kbt::DialogState>& state,
                                                 kbt::HidBackend& hid) {
    relay->SetState(state);
    discovery(state, hid);
  };
  kbt::UpdateCounter counter;  // the program's; the process ends before WinMain returns
  kbt::RunDialogAndExit(instance, *bus, counter, std::move(options));
}
