// The Update run and its three passes. The run reads the two paths that
// discovery recorded, the Firmware image and g_UpdateCounter; the caller holds
// g_ImageMutex for as long as it runs.
#pragma once

#include <string>
#include <vector>

#include "device/hid.h"

namespace kbt {

inline constexpr int kUpdateRunOk = 0;
inline constexpr int kUpdateRunFailed = 2;

// Why a run failed, one line per failed step that decided something, with
// its context ("verify pass attempt 3, block 6: read-back differs"). The
// dialog shows none of it; the command line prints it.
using RunNotes = std::vector<std::string>;

// 0 when the whole sequence succeeded, 2 otherwise.
int UpdateRun(HidBackend& hid, RunNotes* notes);

// The passes, 1 for success and 0 for failure. `command` is null when the
// Command interface did not open; every report to it then fails.
int ProgramPass(HidDevice& data, HidDevice* command, RunNotes* notes = nullptr);
int VerifyPass(HidDevice& data, HidDevice* command, RunNotes* notes = nullptr);
// The result of its last send.
bool InformationBlockRewrite(HidDevice* command, RunNotes* notes = nullptr);

}  // namespace kbt
