// The main dialog's decisions, shared by the Qt and Win32 dialogs: the
// button's start look, the order of the dialog's initialisation, what device
// arrivals and removals do, and the Start command. A front end owns the
// window and its controls; it calls in here on its user-interface thread and
// lends the controller its DialogServices and its installed status outputs.
// The controller owns the dialog's state (dialog/dialog_state.h), made with
// the update counter that the program hands in.
//
// The dialog's states follow from deviceReady, updateBusy and the button:
//   waiting for a device  clear/clear  disabled  light grey
//   device ready          set/clear    enabled   yellow
//   update running        set/set      disabled  yellow
//   update finished       set/clear    disabled  green or red
//   start refused         set/clear    disabled  yellow
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "device/hid.h"
#include "device/session.h"
#include "device/update_counter.h"
#include "dialog/dialog_state.h"
#include "ui/dialog_services.h"
#include "ui/status_outputs.h"

namespace kbt {

// The dialog's texts, exactly as the operator sees them.
inline constexpr wchar_t kErrorCaption[] = L"Error";
inline constexpr wchar_t kNoFindHexFileBox[] = L"No Find HexFile\uFF01";
inline constexpr wchar_t kHexToBinErrorBox[] = L"HexToBin Error\uFF01";
// Follows the path in the box for a file that cannot be opened.
inline constexpr wchar_t kNotFoundBoxSuffix[] = L"  No Finded";
inline constexpr wchar_t kHexFileErrorBox[] = L"Hex File Error!";
inline constexpr wchar_t kDialogTitle[] = L"Korvane keyboard Update Tool  By Z51K7   V1.0.0.4";
inline constexpr wchar_t kStartCaption[] = L"start";
inline constexpr wchar_t kFileNameLabel[] = L"File Name:";

// The Removal reset, when the Data interface goes away: both paths cleared,
// the button light grey and disabled, deviceReady and updateBusy clear,
// bootEntryHold set. Any state returns to waiting for a device.
void RemovalReset(DialogState& state);

// The progress bar's range from the first Start on: the steps of a run.
inline constexpr int kProgressMaximum = UpdateSession::kRunSteps;

// The worker starts the controller asks for, each handed the dialog's state
// to keep while it runs. The program uses the dialog's own (dialog/
// workers.h); tests replace them to count and to hold back the workers.
struct ControllerWorkers {
  std::function<void(const std::shared_ptr<DialogState>&, HidBackend&)> discovery;
  std::function<void(const std::shared_ptr<DialogState>&, HidBackend&,
                     std::unique_lock<std::mutex>)>
      update;

  static ControllerWorkers Real();
};

class DialogController {
 public:
  // Construction of the dialog: the Start button's start look (light grey,
  // normal state, empty caption) and the dialog's state, whose workers'
  // news goes to the status outputs; grayText is the system's grey-text
  // colour. `counter` is the program's and outlives the controller.
  DialogController(HidBackend& hid, UpdateCounter& counter, DialogServices& dialog,
                   ColorRef grayText = kDefaultGrayText,
                   ControllerWorkers workers = ControllerWorkers::Real());

  DialogController(const DialogController&) = delete;
  DialogController& operator=(const DialogController&) = delete;

  // Dialog initialisation, once the window and its controls exist: a first
  // discovery, the registration for device events, then the .hex file search
  // that fills the file-name field. A given file (the Linux dialog's command
  // line argument) takes the search's place: the field shows it as given.
  void Initialize(const std::optional<std::wstring>& givenFile = std::nullopt);

  // A device event, on the user-interface thread.
  void OnDeviceEvent(const DeviceEvent& event);

  // The Start button was clicked.
  void OnStart();

  DialogState& State() { return *state_; }

  // Grey text of the common desktop themes, for toolkits that have no
  // system colour for it.
  static constexpr ColorRef kDefaultGrayText = 0x6D6D6D;

 private:
  // Clears updateBusy, gives the image back and shows the box.
  void RefuseStart(std::unique_lock<std::mutex>& imageLock, const wchar_t* text);

  HidBackend& hid_;
  std::shared_ptr<DialogState> state_;
  DialogServices& dialog_;
  ControllerWorkers workers_;
  // True while a Start command runs: its boxes dispatch events, and a second
  // click then must not ask for the image lock this thread already holds.
  bool inStart_ = false;
};

}  // namespace kbt
