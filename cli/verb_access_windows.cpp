// `kbupdate access` on Windows: every user may open the keyboard's HID
// interfaces, so there is no rule to list or install.
#include "cli/console.h"
#include "cli/verb_access.h"
#include "cli/verbs.h"

namespace kbt::cli {

int RunAccess(AccessOptions&) {
  Info("Windows gives every user access to the keyboard's HID interfaces: no rule is needed");
  return kExitOk;
}

}  // namespace kbt::cli
