# The Qt dialog with a USB keyboard: the dialog is up first, then the
# keyboard is plugged in at vhci-hcd port 1 in normal operation; the dialog
# switches it into update mode (a USB disconnect and a new device on the
# same port), turns yellow, a driver inside the program clicks Start, the
# button turns green, DLog.txt says PASS, the memory equals the image, and
# the keyboard restarting after Finish resets the button to light grey.
# timeout: 240
. "$KBT_TREE/tools/vm/guest-lib.sh"
. "$KBT_TREE/tools/vm/guest-usb.sh"
DRIVER=$B/tests/qt/dialog-guest-driver
[ -x "$DRIVER" ] || skip "no $DRIVER (the build has no Qt dialog)"

work=$(mktemp -d)
cd "$work" || exit 1
# The dialog finds its .hex file beside the program.
cp "$DRIVER" "$HEX" .
the_image image.bin || exit 1
export QT_QPA_PLATFORM=offscreen

usb_start kb || exit 1  # no keyboard yet: the control pipe only
t0=$(now_ms)
./dialog-guest-driver --timeout 200 >"$R/dialog.log" 2>&1 &
CLEANUP+=("kill $!")
driver=$!
wait_for "$R/dialog.log" 'grey disabled' 60 || { cat "$R/dialog.log"; result "FAIL the dialog did not come up"; exit 1; }
up=$(($(now_ms) - t0))
note "dialog up in $(secs $up)"

t1=$(now_ms)
# A controller takes a while to restart after Finish; with no delay the
# removal would overtake the result colour (the run then shows in DLog.txt
# only, by design).
usb_ctl kb "plug 1 --serial HK0003 --leave-ms 1000 --trace $R/kb.trace --dump $R/kb.memory" || exit 1
wait "$driver"
driver_rc=$?
cycle=$(($(now_ms) - t1))
cat "$R/dialog.log"
log=$(tr -d '\r' <DLog.txt 2>/dev/null)
sim_stop kb
cmp -s image.bin "$R/kb.memory" && memory=image || memory=differs
colours=$(awk '/ms: (grey|yellow|green|red) / {print $4}' "$R/dialog.log" | uniq | paste -sd- -)
entry=missing
grep -q '^[0-9]* normal set ok 05 ab' "$R/kb.trace" && entry=seen

figure "USB keyboard, dialog cycle from the keyboard's arrival to the reset $(secs $cycle)"
summary="driver=$driver_rc colours=$colours entry=$entry DLog.txt=${log:-none} memory=$memory"
if [ "$driver_rc" = 0 ] && [ "$log" = PASS ] && [ "$memory" = image ] && [ "$entry" = seen ] &&
  [[ "$colours" == *yellow-green-grey ]]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
