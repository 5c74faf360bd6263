#!/usr/bin/env bash
# The Linux HID layer end to end on a real kernel HID stack: Debian's kernel
# under QEMU, the simulated keyboard behind /dev/uhid, the real kbupdate list
# and three kbupdate flash runs (PASS, FAIL when the keyboard leaves the bus
# in the middle, PASS). Prints the figures of the runs.
set -euo pipefail
cd "$(dirname "$0")/../.."
exec timeout --kill-after=10 900 tools/vm/run-e2e.sh
