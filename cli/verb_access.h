// `kbupdate access`, shared by its files: the options it takes (help text
// and set-up in verb_access_options.cpp), and what runs it, defined once per
// system (verb_access_linux.cpp, verb_access_windows.cpp).
#pragma once

#include "cli/common_options.h"

namespace kbt::cli {

struct AccessOptions {
  DeviceOptions device;
  bool install = false;
  bool json = false;
};

int RunAccess(AccessOptions& options);

}  // namespace kbt::cli
