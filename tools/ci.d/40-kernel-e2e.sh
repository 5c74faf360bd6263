#!/usr/bin/env bash
# The Linux HID layer end to end on a real kernel HID stack: Debian's kernel
# under QEMU with the machine's root over 9p (tools/vm/run-guest.sh), the
# simulated keyboard behind /dev/uhid, the real kbupdate list and flash runs
# (PASS, FAIL when the keyboard leaves the bus in the middle, PASS, PASS
# after an unanswered report), hidraw-guest-check. Prints the figures.
set -euo pipefail
cd "$(dirname "$0")/../.."
# The native build of tools/test.sh: only what the guest runs.
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timeout 1200 cmake --build build/native -j "${JOBS:-2}" \
  --target kbupdate kbsim-uhid hidraw-guest-check >/dev/null
exec tools/vm/run-guest.sh kernel '1?-*.sh'
