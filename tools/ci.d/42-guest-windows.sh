#!/usr/bin/env bash
# The Windows programs on a real kernel, in one boot of the real-kernel guest:
#   - kbupdate.exe under 32-bit Wine against the simulated keyboard behind
#     /dev/uhid (tools/vm/guest.d/2?-*.sh): update mode -> PASS with the
#     device's memory and reports checked, normal operation -> entry pair,
#     Wine restarted, PASS, an unanswered report, the keyboard leaving
#     mid-run; the station, `kbupdate.exe station --count 2` over two
#     keyboards in update mode;
#   - where this machine runs no 32-bit programs, the 32-bit build (the
#     release) itself (60-windows-32bit.sh): the release zip's kbupdate.exe,
#     every test program under Wine, the smoke test.
# The 32-bit Wine prefix is made where 32-bit programs run: here, or by the
# guest's first scenario; either way it is kept in the machine's cache for
# later runs (tools/vm/wine-prefix.sh). Prints the Wine start, update and
# station figures.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/test-env.sh
. tools/wine/env.sh
kb_windows_tree 32 >/dev/null
kb_native_tree kbupdate kbsim-uhid >/dev/null
timeout 900 tools/vm/wine-prefix.sh
scenarios=(00-wine-prefix.sh '2?-*.sh')
kb_host_runs_32bit || scenarios+=(60-windows-32bit.sh)
rc=0
tools/vm/run-guest.sh windows "${scenarios[@]}" || rc=$?
tools/vm/wine-prefix.sh --keep || echo "the guest's Wine prefix could not be kept in the cache"
exit $rc
