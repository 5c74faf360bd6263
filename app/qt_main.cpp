// keyboard-update-tool: the dialog on the machine's own HID interfaces.
// Every start opens one more independent window, and closing it ends the
// process at once, even during an update. The command line may name the
// firmware file (a desktop's "Open with"); without it the window searches
// beside the program as the Windows program does.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/qt_app.h"
#include "device/empty_hid.h"
#include "ui/qt/main_dialog.h"

#if defined(KB_HAVE_PLATFORM_HID)
#include "device/platform_hid.h"
#endif
#if defined(KB_HAVE_HIDRAW_MONITOR)
#include "ui/qt/hidraw_events.h"
#endif

namespace {

std::unique_ptr<kbt::HidBackend> MakeBackend() {
#if defined(KB_HAVE_PLATFORM_HID)
  if (auto backend = kbt::MakePlatformHidBackend()) return backend;
#endif
  // Without a HID layer no interface is present: the button stays grey.
  return std::make_unique<kbt::EmptyHidBackend>("this build has no HID layer");
}

}  // namespace

int main(int argc, char** argv) {
  const kbt::DialogArguments parsed =
      kbt::ParseDialogArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.action != kbt::DialogArguments::Action::Run)
    return kbt::FinishWithoutWindow(parsed, "keyboard-update-tool");

  // Qt would take options such as -style, -reverse or -geometry from the
  // command line; the tool has its own, so Qt sees the program name alone.
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  kbt::PrepareApplication(app);

  // Workers may use the backend until the process ends; it is never freed.
  kbt::HidBackend& hid = *MakeBackend().release();
  // The program's update counter; the process ends before main returns.
  kbt::UpdateCounter counter;

  kbt::DeviceEventRegistration registration;
#if defined(KB_HAVE_HIDRAW_MONITOR)
  auto* events = new kbt::HidrawEvents(&app);
  registration = [events](kbt::DeviceEventSink sink) { events->Start(std::move(sink)); };
#endif

  kbt::RunDialogAndExit(hid, counter, std::move(registration), kbt::ControllerWorkers::Real(), {},
                        parsed.file);
}
