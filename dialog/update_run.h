// The dialog's Update run: one UpdateSession bound to the program-wide state
// the dialog keeps (the paths its discovery recorded, g_ImageBuffer,
// g_UpdateCounter, the Progress step of its status outputs). The caller
// holds g_ImageMutex for as long as it runs.
#pragma once

#include <string>
#include <vector>

#include "device/hid.h"
#include "device/session.h"

namespace kbt {

// Why a run failed, one line per failed step that decided something, with
// its context ("verify pass attempt 3, block 6: read-back differs"). The
// dialog shows none of it; the command line prints it.
using RunNotes = std::vector<std::string>;

// 0 when the whole sequence succeeded, 2 otherwise.
int UpdateRun(HidBackend& hid, RunNotes* notes);

// The passes over the program-wide image, 1 for success and 0 for failure.
// `command` is null when the Command interface did not open.
int ProgramPass(HidDevice& data, HidDevice* command, RunNotes* notes = nullptr);
int VerifyPass(HidDevice& data, HidDevice* command, RunNotes* notes = nullptr);
// The result of its last send.
bool InformationBlockRewrite(HidDevice* command, RunNotes* notes = nullptr);

// The program-wide update counter as a session's counter source.
CounterSource ProgramUpdateCounter();

}  // namespace kbt
