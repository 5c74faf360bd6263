#!/usr/bin/env bash
# The Qt dialog on real hidraw nodes and uevents, in the real-kernel guest
# (tools/vm/guest.d/3?-*.sh): arrival in normal operation after the dialog
# is up, switch, yellow, Start clicked by a driver inside the program,
# green, DLog.txt PASS, reset to light grey. Prints the dialog cycle figure.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timeout 1200 cmake --build build/native -j "${JOBS:-2}" \
  --target kbupdate kbsim-uhid dialog-guest-driver >/dev/null
exec tools/vm/run-guest.sh qt-dialog '3?-*.sh'
