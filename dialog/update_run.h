// The dialog's Update run: one UpdateSession bound to the dialog's state (the
// paths its discovery recorded, its image, the program's update counter,
// the Progress step of its sink). The caller holds the state's image lock
// for as long as it runs.
#pragma once

#include <string>
#include <vector>

#include "device/hid.h"
#include "dialog/dialog_state.h"

namespace kbt {

// Why a run failed, one line per failed step that decided something, with
// its context ("verify pass attempt 3, block 6: read-back differs"). The
// dialog shows none of it.
using RunNotes = std::vector<std::string>;

// 0 when the whole sequence succeeded, 2 otherwise.
int UpdateRun(DialogState& state, HidBackend& hid, RunNotes* notes = nullptr);

}  // namespace kbt
