#!/usr/bin/env bash
# The Linux programs on a real kernel, in one boot of the real-kernel guest
# (Debian's kernel under QEMU with the machine's root over 9p,
# tools/vm/run-guest.sh), each scenario with its own line and time:
#   - the HID layer on uhid (1?): kbupdate list and flash (PASS, FAIL when
#     the keyboard leaves mid-run, PASS, PASS after an unanswered report),
#     hidraw-guest-check, the restore cycle;
#   - the Qt dialog on real hidraw nodes and uevents (3?): arrival, switch,
#     yellow, Start, green, DLog.txt PASS, grey;
#   - several keyboards at once (5?): locations told apart, flash --all, the
#     station over four places with units swapped and both CPUs busy;
#   - the real USB stack (7?): the keyboard as a USB/IP device on vhci-hcd,
#     enumerated by usbcore and bound by usbhid: flash with the device's
#     reports checked, a disconnect mid-run, the restore cycle, the Qt
#     dialog, a stale hidraw path refused, the station over four ports with
#     swaps under load and a unit pulled mid-run, restarts of up to 3 s, 32
#     keyboards at once;
#   - last, as they leave the udev package unpacked in the guest, the shipped
#     udev rule under a real udev daemon (4?): a plugdev user updates from
#     the command line and the dialog, a user outside gets exit 6, and
#     `kbupdate access --install`.
# Prints the scenarios' figures.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/test-env.sh
kb_native_tree kbupdate kbsim-uhid kbsim-usbip hidraw-guest-check hidraw-listing-check \
  dialog-guest-driver >/dev/null
exec tools/vm/run-guest.sh linux '1?-*.sh' '3?-*.sh' '5?-*.sh' '7?-*.sh' '4?-*.sh'
