// Device discovery and update-mode entry. One walk over the present HID
// interfaces: the update-mode keyboard's Data and Command interfaces are
// recorded, and every other vendor-page interface with 6-byte feature reports
// (a keyboard in normal operation) is told to enter update mode. The keyboard
// is expected to leave the bus on that command and to come back as the
// update-mode device, whose arrival starts the next discovery.
#include "dialog/discovery.h"

#include <vector>

#include "device/keyboards.h"
#include "device/sleep.h"
#include "device/update_mode.h"

namespace kbt {
namespace {

// The time a keyboard found in update mode is given before Start is
// offered: the same settling time as every other road into update mode.
constexpr unsigned kReadyDelayMs = kSettleMs;

// The walk opens every interface in the platform's order, as the dialog
// always has, and sends the entry pair during the walk: the hold is read
// afresh for each interface, so a removal handled meanwhile holds back the
// entry command from the next interface on. What it saw is then the
// keyboard list, which the dialog reduces to its two paths (the last match
// wins, also across keyboards).
//
// The walk shows its matches when it is done, so that the paths stay what
// the last pass saw while this one walks (a Start or a removal in that time
// still finds them). A Removal reset during the walk makes what it saw
// stale: it then shows nothing and counts nothing, and the pass of the next
// arrival looks again. `clears` is the count of path clearings when the pass
// began.
int Discover(DialogState& state, HidBackend& hid, unsigned clears) {
  std::vector<HidInterfaceInfo> interfaces;
  if (!hid.Enumerate(interfaces)) interfaces.clear();

  std::vector<InterfaceProbe> probes;
  probes.reserve(interfaces.size());
  for (HidInterfaceInfo& info : interfaces) {
    std::unique_ptr<HidDevice> device;
    HidResult open = hid.OpenListed(info, device);
    if (open && !device) open = HidResult::Fail("open: no device");
    if (open &&
        ClassifyInterface(info, state.bootEntryHold.load()) == DiscoveryRule::NormalModeCommand)
      SendEnterUpdateMode(*device, info.featureReportLength, state.sleep);
    probes.push_back({std::move(info), std::move(open)});
  }

  const KeyboardList list = FindKeyboards(probes);
  const DialogMatch match = ReduceForDialog(list, probes);
  if (!state.WriteDevicePathsUnlessCleared({match.data, match.command}, clears)) return 0;
  // What stayed out of reach matters only while no keyboard is found: a pass
  // queued behind the one that found the keyboard says nothing about a
  // button that is no longer grey.
  const bool found = match.dataInterfaces > 0 || state.deviceReady.load();
  state.sink->ShowSkipped(found ? std::vector<SkippedInterface>{} : list.skipped);
  return match.dataInterfaces;
}

}  // namespace

int DeviceDiscovery(DialogState& state, HidBackend& hid) {
  return Discover(state, hid, state.DevicePathsClearCount());
}

void DiscoveryWorker(DialogState& state, HidBackend& hid) {
  const unsigned clears = state.DevicePathsClearCount();
  if (Discover(state, hid, clears) == 0) return;
  SleepMs(state.sleep, kReadyDelayMs);
  // The keyboard went away during the delay: the Removal reset has shown
  // that already. Marking it ready now would leave a yellow button for a
  // device that is gone, and arrivals would start no discovery any more.
  if (state.DevicePathsClearCount() != clears) return;
  // An arrival during the delay has queued a pass that will see the bus as
  // it is now: a keyboard's Command interface comes a moment after its Data
  // interface. Readiness is that pass's to show, so that a Start at yellow
  // finds both paths recorded.
  if (state.workers.DiscoveryQueued()) return;
  // Passes run one after the other, so a pass queued behind the one that
  // marked the device ready ends two seconds later, when the operator may
  // already have started a run or seen its result. The device is still the
  // one that pass showed (a removal would have cleared the flag), so it leaves
  // the colour and the disabled button of that run alone.
  if (!state.deviceReady.exchange(true)) state.sink->ShowDeviceReady();
  state.bootEntryHold = false;
}

}  // namespace kbt
