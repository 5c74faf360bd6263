// Device discovery and update-mode entry. One walk over the present HID
// interfaces: the update-mode keyboard's Data and Command interfaces are
// recorded, and every other vendor-page interface with 6-byte feature reports
// (a keyboard in normal operation) is told to enter update mode. The keyboard
// is expected to leave the bus on that command and to come back as the
// update-mode device, whose arrival starts the next discovery.
#include <array>
#include <cstdint>

#include "device/device_state.h"
#include "device/dialog_sink.h"
#include "device/keyboards.h"
#include "device/sleep.h"
#include "device/workers.h"

namespace kbt {
namespace {

constexpr unsigned kReadyDelayMs = 2000;

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
int Discover(HidBackend& hid, unsigned clears) {
  std::vector<HidInterfaceInfo> interfaces;
  if (!hid.Enumerate(interfaces)) interfaces.clear();

  std::vector<InterfaceProbe> probes;
  probes.reserve(interfaces.size());
  for (HidInterfaceInfo& info : interfaces) {
    std::unique_ptr<HidDevice> device;
    HidResult open = hid.Open(info.path, device);
    if (open && !device) open = HidResult::Fail("open: no device");
    if (open && ClassifyInterface(info, g_BootEntryHold.load()) == DiscoveryRule::NormalModeCommand)
      SendEnterUpdateMode(*device, info.featureReportLength);
    probes.push_back({std::move(info), std::move(open)});
  }

  const KeyboardList list = FindKeyboards(probes);
  const DialogMatch match = ReduceForDialog(list, probes);
  if (!WriteDevicePathsUnlessCleared({match.data, match.command}, clears)) return 0;
  // What stayed out of reach matters only while no keyboard is found.
  CurrentDialogSink()->ShowSkipped(match.dataInterfaces > 0 ? std::vector<SkippedInterface>{}
                                                            : list.skipped);
  return match.dataInterfaces;
}

}  // namespace

int DeviceDiscovery(HidBackend& hid) {
  return Discover(hid, DevicePathsClearCount());
}

void DiscoveryWorker(HidBackend& hid) {
  const unsigned clears = DevicePathsClearCount();
  if (Discover(hid, clears) == 0) return;
  SleepMs(kReadyDelayMs);
  // The keyboard went away during the delay: the Removal reset has shown
  // that already. Marking it ready now would leave a yellow button for a
  // device that is gone, and arrivals would start no discovery any more.
  if (DevicePathsClearCount() != clears) return;
  // An arrival during the delay has queued a pass that will see the bus as
  // it is now: a keyboard's Command interface comes a moment after its Data
  // interface. Readiness is that pass's to show, so that a Start at yellow
  // finds both paths recorded.
  if (DiscoveryPassQueued()) return;
  // Passes run one after the other, so a pass queued behind the one that
  // marked the device ready ends two seconds later, when the operator may
  // already have started a run or seen its result. The device is still the
  // one that pass showed (a removal would have cleared the flag), so it leaves
  // the colour and the disabled button of that run alone.
  if (!g_DeviceReady.exchange(true)) CurrentDialogSink()->ShowDeviceReady();
  g_BootEntryHold = false;
}

}  // namespace kbt
