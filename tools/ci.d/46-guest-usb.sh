#!/usr/bin/env bash
# The keyboard on a real USB stack: the simulated keyboard as a USB device
# on vhci-hcd (USB/IP over a socketpair) in the real-kernel guest, enumerated
# by usbcore and bound by usbhid (tools/vm/guest.d/7?-*.sh, one boot): flash
# from normal operation with the device's reports checked, a disconnect
# mid-run, the restore cycle, the Qt dialog, a path whose hidraw node passed
# to another keyboard refused, the station over four ports with unit swaps
# and a unit pulled mid-run, its return window, 32 keyboards at once.
# Prints the scenarios' figures.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timeout 1200 cmake --build build/native -j "${JOBS:-2}" \
  --target kbupdate kbsim-usbip dialog-guest-driver hidraw-listing-check >/dev/null
exec tools/vm/run-guest.sh usb '7?-*.sh'
