#!/usr/bin/env bash
# The Windows program's HID layer on a real kernel HID stack: kbupdate.exe
# under Wine in the real-kernel guest against the simulated keyboard behind
# /dev/uhid (tools/vm/guest.d/2?-*.sh): update mode -> PASS with the device's
# memory and reports checked, normal operation -> entry pair, Wine restarted,
# PASS, an unanswered report, the keyboard leaving mid-run; then the station,
# `kbupdate.exe station --count 2` over two keyboards in update mode. Prints
# the Wine start, update and station figures. The 32-bit build is the one
# the guest runs: it is the release, and the guest's kernel runs 32-bit
# programs.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
# The Windows build of tools/ci.d/30-windows.sh: only the command line.
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
timeout 1200 cmake --build build/win32 -j "${JOBS:-2}" --target kbupdate >/dev/null
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timeout 1200 cmake --build build/native -j "${JOBS:-2}" --target kbupdate kbsim-uhid >/dev/null
# The 32-bit prefix: made here where this machine runs 32-bit programs, else
# by the guest's first scenario (kept from an earlier boot when there was one).
timeout 900 tools/vm/wine-prefix.sh
# Wine starts take 10 s on a quiet machine and over 100 s on a busy one;
# the scenarios start Wine five times.
KBT_GUEST_TIMEOUT=2400 exec tools/vm/run-guest.sh wine 00-wine-prefix.sh '2?-*.sh'
