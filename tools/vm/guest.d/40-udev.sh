# The udev rule under a real udev daemon: systemd-udevd from Debian's udev
# package (unpacked into the guest's overlay, see tools/vm/run-guest.sh)
# with res/udev/70-kbupdate.rules, plus its normal-operation line filled in
# with the simulated keyboard's IDs:
#   - a user outside plugdev: kbupdate flash exits 6 and names the node;
#   - a user in plugdev: kbupdate flash from normal operation -> PASS;
#   - the same user's dialog: the keyboard arrives after the dialog is up;
#     the hidraw monitor takes the daemon's events, sent after the rule
#     gave the group access, so the dialog can switch, update (PASS) and
#     reset without root.
# timeout: 300
. "$KBT_TREE/tools/vm/guest-lib.sh"
"$B/cli/kbupdate" help flash >/dev/null 2>&1 || skip "this build's kbupdate has no flash verb"
udev_unpack || exit 1
# The rule file's own instructions for a keyboard in normal operation, with
# the IDs `kbupdate list` shows for the simulated one.
sed -n 's/^#\(SUBSYSTEM=="hidraw", KERNELS=="\*:\)VVVV:PPPP/\14B54:0101/p' \
  "$KBT_TREE/res/udev/70-kbupdate.rules" >/etc/udev/rules.d/71-kbupdate-sim.rules
grep -q 4B54:0101 /etc/udev/rules.d/71-kbupdate-sim.rules || { note "no normal-operation line"; exit 1; }
groupadd -f plugdev
add_user kbt-plug plugdev
add_user kbt-other

udev_start || exit 1

shared_workdir || exit 1

udev_keyboard || exit 1

note "kbupdate flash, user outside plugdev"
as kbt-other "'$B/cli/kbupdate' flash --wait 3 firmware.hex" >"$R/other.log" 2>&1
other_rc=$?
cat "$R/other.log"
other=bad
[ "$other_rc" = 6 ] && grep -q '/dev/hidraw[0-9]' "$R/other.log" && other=ok

note "kbupdate flash, user in plugdev"
rm -f DLog.txt
as kbt-plug "'$B/cli/kbupdate' flash --wait 30 firmware.hex" >"$R/plug.log" 2>&1
plug_rc=$?
grep -v '^progress' "$R/plug.log"
plug_log=$(tr -d '\r' <DLog.txt 2>/dev/null)
sim_stop kb
cmp -s image.bin "$R/kb.memory" && plug_memory=image || plug_memory=differs

note "the dialog, user in plugdev"
DRIVER=$B/tests/qt/dialog-guest-driver
dialog=skipped
if [ -x "$DRIVER" ]; then
  rm -f DLog.txt
  cp "$DRIVER" .
  QT_QPA_PLATFORM=offscreen runuser -u kbt-plug -- sh -c "cd '$work' && ./dialog-guest-driver --timeout 60" \
    >"$R/dialog.log" 2>&1 &
  driver=$!
  CLEANUP+=("kill $driver")
  wait_for "$R/dialog.log" 'grey disabled' 60 || note "the dialog did not come up"
  sim_start kb2 --enum-delay-ms 1500 --leave-ms 1000 --trace "$R/kb2.trace" --dump "$R/kb2.memory" || exit 1
  wait "$driver"
  driver_rc=$?
  cat "$R/dialog.log"
  # When the nodes got their group and mode (ctime), against the time now.
  date +'now %T.%N'
  stat -c '%n %U:%G %a changed %z' /dev/hidraw* 2>/dev/null
  sim_stop kb2
  dlog=$(tr -d '\r' <DLog.txt 2>/dev/null)
  cmp -s image.bin "$R/kb2.memory" && mem2=image || mem2=differs
  dialog="driver-$driver_rc,${dlog:-none},memory-$mem2"
  [ "$driver_rc" = 0 ] && [ "$dlog" = PASS ] && [ "$mem2" = image ] || dialog="$dialog,bad"
fi

summary="outside-plugdev=$other(exit $other_rc) plugdev-flash=${plug_log:-none}/$plug_rc memory=$plug_memory dialog=$dialog"
if [ "$other" = ok ] && [ "$plug_rc" = 0 ] && [ "$plug_log" = PASS ] && [ "$plug_memory" = image ] &&
  [[ "$dialog" != *bad ]]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
