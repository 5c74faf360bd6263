#!/usr/bin/env bash
# res/udev/70-kbupdate.rules under a real udev daemon (Debian's udev package,
# unpacked into the guest only) in the real-kernel guest
# (tools/vm/guest.d/4?-*.sh): a user in plugdev updates from the command
# line and from the dialog, a user outside gets exit 6 naming the node;
# with the shipped rule alone, `kbupdate access --install` gives a plugdev
# user the keyboard in normal operation.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timeout 1200 cmake --build build/native -j "${JOBS:-2}" \
  --target kbupdate kbsim-uhid dialog-guest-driver >/dev/null
exec tools/vm/run-guest.sh udev '4?-*.sh'
