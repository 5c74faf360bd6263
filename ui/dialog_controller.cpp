// The order of the steps is part of what the operator sees: Start disables
// the button before anything else happens and shows the bar at 0 of 17
// before the file is read, so a second click cannot slip in and a later run
// never starts from an old bar. The image belongs to one user at a time: the
// Start command holds the state's imageMutex from the zero fill to the
// hand-over, and a Start that finds it held (a run is still going) leaves
// the image alone.
#include "ui/dialog_controller.h"

#include <cstring>

#include "dialog/update_worker.h"
#include "dialog/workers.h"
#include "image/firmware_image.h"
#include "image/hex_file_location.h"
#include "ui/status_button.h"

namespace kbt {

ControllerWorkers ControllerWorkers::Real() {
  return {
      [](const std::shared_ptr<DialogState>& state, HidBackend& hid) {
        RequestDiscovery(state, hid);
      },
      [](const std::shared_ptr<DialogState>& state, HidBackend& hid,
         std::unique_lock<std::mutex> lock) { StartUpdateWorker(state, hid, std::move(lock)); }};
}

DialogController::DialogController(HidBackend& hid, UpdateCounter& counter, DialogServices& dialog,
                                   ColorRef grayText, ControllerWorkers workers)
    : hid_(hid),
      state_(std::make_shared<DialogState>(counter, StatusOutputsDialogSink())),
      dialog_(dialog),
      workers_(std::move(workers)) {
  ResetButtonLook(grayText);
}

void DialogController::Initialize(const std::optional<std::wstring>& givenFile) {
  // The first discovery runs while the rest of the initialisation goes on.
  workers_.discovery(state_, hid_);
  dialog_.RegisterForDeviceEvents();
  if (givenFile)
    dialog_.SetFileNameText(*givenFile);
  else
    dialog_.SetFileNameText(FindHexFile().FieldText());
}

void DialogController::OnDeviceEvent(const DeviceEvent& event) {
  switch (event.kind) {
    case DeviceEvent::Kind::Arrival: {
      // Any arrival, HID or not: the device may come back as several
      // interfaces, and discovery decides what it is. Ready first, busy
      // second, as the workers set them in the opposite order.
      const bool ready = state_->deviceReady.load();
      const bool busy = state_->updateBusy.load();
      if (ready || busy) return;
      state_->bootEntryHold = false;
      workers_.discovery(state_, hid_);
      return;
    }
    case DeviceEvent::Kind::Removal: {
      if (!event.isDeviceInterface) return;
      const DevicePath data = state_->ReadDevicePaths().data;
      // An empty Data path means no device was found yet: nothing to reset.
      if (data.empty() || !SameDevicePath(event.path, data)) return;
      RemovalReset(*state_);
      return;
    }
    case DeviceEvent::Kind::Other:
      return;
  }
}

void RemovalReset(DialogState& state) {
  state.ClearDevicePaths();
  SetButtonColor(kColorLightGrey);
  state.deviceReady = false;
  state.updateBusy = false;
  state.bootEntryHold = true;
  EnableStartButton(false);
}

void DialogController::RefuseStart(std::unique_lock<std::mutex>& imageLock, const wchar_t* text) {
  // No run follows, so nothing is busy; an arrival after a removal during
  // the box then starts a discovery as in any other waiting state.
  state_->updateBusy = false;
  // The box dispatches events while it is open; the image is free by then.
  if (imageLock.owns_lock()) imageLock.unlock();
  dialog_.ShowErrorBox(text);
}

void DialogController::OnStart() {
  EnableStartButton(false);

  // A click that reaches us while one of our own boxes is open, or while an
  // update run holds the image (a discovery that ended late enabled the
  // button again), must not touch the image: the button stays disabled and
  // the running update goes on undisturbed.
  if (inStart_) return;
  std::unique_lock<std::mutex> imageLock(state_->imageMutex, std::try_to_lock);
  if (!imageLock.owns_lock()) return;

  struct Guard {
    bool& flag;
    explicit Guard(bool& f) : flag(f) { flag = true; }
    ~Guard() { flag = false; }
  } guard(inStart_);

  std::uint8_t* const image = state_->imageBuffer.get();
  if (image) std::memset(image, 0, kImageSize);

  g_ProgressStep = 0;
  dialog_.SetProgressRange(0, kProgressMaximum);
  SetProgressPos(0);
  ProgressStep();

  state_->updateBusy = true;

  const std::wstring fileName = dialog_.FileNameText();
  if (fileName == kNoFindHexFile) {
    RefuseStart(imageLock, kNoFindHexFileBox);
    return;
  }

  // Without the state's image buffer there is nothing to convert into.
  if (!image) {
    RefuseStart(imageLock, kHexToBinErrorBox);
    return;
  }
  switch (LoadFirmware(fileName, image).status) {
    case FirmwareLoad::Loaded:
      break;
    case FirmwareLoad::NotOpened:
      dialog_.ShowErrorBox(fileName + kNotFoundBoxSuffix);
      RefuseStart(imageLock, kHexToBinErrorBox);
      return;
    case FirmwareLoad::NotRead:
      RefuseStart(imageLock, kHexToBinErrorBox);
      return;
    case FirmwareLoad::NoSignature:
      RefuseStart(imageLock, kHexFileErrorBox);
      return;
  }

  // A run that never reaches its end (the window closed during it, the
  // process killed) must not leave the previous run's PASS for a station
  // script to read: the log says FAIL until the worker writes the result.
  (void)WriteResultLog(false);
  // The run owns the image from here until it has finished; the button stays
  // disabled and updateBusy set until the Update worker ends them.
  workers_.update(state_, hid_, std::move(imageLock));
}

}  // namespace kbt
