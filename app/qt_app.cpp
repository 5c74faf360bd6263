#include "app/qt_app.h"

#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "image/file_platform.h"
#include "ui/status_outputs.h"

#ifndef KB_VERSION
#define KB_VERSION "unknown"
#endif

namespace kbt {

void PrepareApplication(QApplication& app) {
  QApplication::setApplicationName(QStringLiteral("keyboard-update-tool"));
  QApplication::setApplicationVersion(QStringLiteral(KB_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("keyboard-update-tool"));
  (void)app;
}

namespace {

// The file as an absolute path in file-system bytes: the current folder in
// front of a relative name, a leading "./" dropped so that the field shows a
// plain path. Nothing else is resolved: the field shows the file the user
// named, links and all.
std::string AbsoluteBytes(const std::string& name, std::string& error) {
  if (!name.empty() && name.front() == '/') return name;
  std::error_code ec;
  const std::filesystem::path cwd = std::filesystem::current_path(ec);
  if (ec) {
    error = "cannot read the current folder for " + name + ": " + ec.message();
    return {};
  }
  std::string relative = name;
  while (relative.size() > 2 && relative.compare(0, 2, "./") == 0) {
    relative.erase(0, 2);
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
  }
  std::string folder = cwd.native();
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
  return folder + relative;
}

}  // namespace

DialogArguments ParseDialogArguments(const std::vector<std::string>& args) {
  DialogArguments parsed;
  auto fail = [&parsed](std::string message) {
    parsed.action = DialogArguments::Action::Error;
    parsed.file.reset();
    parsed.error = std::move(message);
    return parsed;
  };
  std::vector<std::string> files;
  bool optionsEnd = false;
  for (const std::string& arg : args) {
    if (!optionsEnd && arg == "--") {
      optionsEnd = true;
    } else if (!optionsEnd && (arg == "--help" || arg == "-h")) {
      parsed.action = DialogArguments::Action::Help;
    } else if (!optionsEnd && (arg == "--version" || arg == "-V")) {
      if (parsed.action != DialogArguments::Action::Help)
        parsed.action = DialogArguments::Action::Version;
    } else if (!optionsEnd && arg.size() > 1 && arg.front() == '-') {
      return fail("unknown option '" + arg + "'");
    } else {
      files.push_back(arg);
    }
  }
  if (parsed.action != DialogArguments::Action::Run) return parsed;
  if (files.size() > 1) return fail("takes one FILE.hex, not " + std::to_string(files.size()));
  if (files.empty()) return parsed;
  if (files.front().empty()) return fail("the file name is empty");
  std::string error;
  const std::string bytes = AbsoluteBytes(files.front(), error);
  if (!error.empty()) return fail(error);
  parsed.file = platform::PathFromArgument(bytes.c_str());
  return parsed;
}

std::string DialogHelpText(const char* program) {
  std::string text = "Usage: ";
  text += program;
  text +=
      " [FILE.hex]\n"
      "\n"
      "Puts new firmware onto the keyboard controller. The window shows the\n"
      "firmware file; its Start button lights up yellow once a keyboard in\n"
      "update mode is attached (a keyboard in normal operation is switched into\n"
      "update mode by itself). Press Start: the button turns green when the\n"
      "update passed and red when it failed, and DLog.txt in the current folder\n"
      "then holds PASS or FAIL. For the next keyboard, unplug it and plug in\n"
      "the next one. Closing the window (close box, Esc or Enter) ends the\n"
      "program at once, also during an update.\n"
      "\n"
      "With FILE.hex the window uses that file. Without it, the window uses the\n"
      "last *.hex file (by name, letter case ignored) in the folder that holds\n"
      "the program itself, and shows \"No Find HexFile\" when there is none;\n"
      "an installed program lives in /usr/bin, so give it FILE.hex there (a file\n"
      "manager's \"Open with\" on a .hex file does).\n"
      "\n"
      "Options:\n"
      "  -h, --help     show this help and exit\n"
      "  -V, --version  show the version and exit\n"
      "\n"
      "Exit status:\n"
      "  0  the window was closed\n"
      "  2  wrong command line\n";
  return text;
}

int FinishWithoutWindow(const DialogArguments& parsed, const char* program) {
  switch (parsed.action) {
    case DialogArguments::Action::Help:
      std::fputs(DialogHelpText(program).c_str(), stdout);
      return 0;
    case DialogArguments::Action::Version:
      std::printf("%s %s\n", program, KB_VERSION);
      return 0;
    case DialogArguments::Action::Error:
      std::fprintf(stderr, "%s: %s (see %s --help)\n", program, parsed.error.c_str(), program);
      return 2;
    case DialogArguments::Action::Run:
      break;
  }
  return 0;
}

void RunDialogAndExit(HidBackend& hid, UpdateCounter& counter, DeviceEventRegistration registration,
                      ControllerWorkers workers, const std::function<void(MainDialog&)>& beforeShow,
                      const std::optional<std::wstring>& givenFile) {
  {
    MainDialog dialog(hid, counter, std::move(registration), std::move(workers));
    QApplication::setWindowIcon(dialog.windowIcon());
    dialog.Initialize(givenFile);
    if (beforeShow) beforeShow(dialog);
    dialog.exec();
  }
  RemoveStatusOutputs();
  std::fflush(nullptr);
  std::_Exit(0);
}

}  // namespace kbt
