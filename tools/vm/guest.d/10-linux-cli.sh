# The Linux HID layer on the real kernel: kbupdate list, flash without
# access rights (says why), then four flash runs of one simulated keyboard:
#   1. from normal operation -> PASS
#   2. the keyboard leaves the bus in the middle -> FAIL, no hang
#   3. the same again -> PASS
#   4. the keyboard leaves one report unanswered -> PASS after a repeated pass
# and last hidraw-guest-check (the backend's byte conventions and the
# monitor). Run 1's reports, as the device took them, must equal those of
# a clean run of the in-process simulated keyboard.
# timeout: 300
. "$KBT_TREE/tools/vm/guest-lib.sh"
"$B/cli/kbupdate" help flash >/dev/null 2>&1 || skip "this build's kbupdate has no flash verb"

# Entries into update mode: run 1 makes the 1st, run 2 the 2nd (the device
# leaves the bus at its 6th report, block 3 of the program pass, and comes
# back in update mode since program byte 0 is then 0x00), run 3 none, run 4
# the 3rd (the device leaves its 5th report unanswered).
sim_start kb --unplug-at 6 --in-entry 2 --stall-at 5 --stall-in-entry 3 \
  --trace "$R/device-trace.txt" || exit 1
wait_nodes 2 20 || { note "no hidraw nodes"; exit 1; }
note "hidraw nodes: $(ls /sys/class/hidraw | tr '\n' ' ')"

note "kbupdate list"
timeout 20 "$B/cli/kbupdate" list >"$R/list.log" 2>&1
list_rc=$?
cat "$R/list.log"
# The keyboard in normal operation: its boot interface matches nothing, its
# vendor interface would get the Enter-update-mode pair and can be opened.
grep -q ' 4b54 .* 0x0001 .* - ' "$R/list.log" && grep -q ' 0xff00 .* 6  enter  *ok' "$R/list.log" ||
  list_rc="$list_rc/unexpected"

# Without access rights (no rule gives a plain user the nodes that devtmpfs
# makes root's), flash must say why instead of only timing out.
add_user kbt-op
note "kbupdate flash as a user without access"
timeout 30 runuser -u kbt-op -- sh -c "cd /tmp && '$B/cli/kbupdate' flash --wait 2 '$HEX'" \
  >"$R/noaccess.log" 2>&1
noaccess_rc=$?
cat "$R/noaccess.log"
noaccess=bad
[ "$noaccess_rc" = 6 ] && grep -q 'permission denied on /dev/hidraw' "$R/noaccess.log" && noaccess=ok

work=$(mktemp -d)
cd "$work" || exit 1
cp "$HEX" firmware.hex
# flash NAME: one kbupdate flash; sets rc, took (ms) and log.
flash() {
  rm -f DLog.txt
  note "kbupdate flash ($1)"
  local t0
  t0=$(now_ms)
  timeout 45 "$B/cli/kbupdate" flash firmware.hex
  rc=$?
  took=$(($(now_ms) - t0))
  # DLog.txt ends its line with CR LF.
  log=$(tr -d '\r' <DLog.txt 2>/dev/null)
  note "$1: exit $rc, DLog.txt '${log}', $(secs $took)"
}
flash "run 1, from normal operation"
r1=$rc l1=$log t1=$took
cp "$R/device-trace.txt" "$R/device-trace-run1.txt"
flash "run 2, keyboard leaves the bus"
r2=$rc l2=$log t2=$took
flash "run 3, after the fault"
r3=$rc l3=$log t3=$took
flash "run 4, a report the keyboard never answers"
r4=$rc l4=$log t4=$took

# Last, as it leaves the keyboard in update mode: the backend's byte
# conventions and the monitor, checked on their own.
note "hidraw-guest-check"
timeout 30 "$B/tests/hid_linux/hidraw-guest-check"
check_rc=$?

# Run 1's update-mode reports as the device took them, against those the
# in-process simulated keyboard takes in a clean run (same line format).
device_trace "$R/device-trace-run1.txt" >"$R/run1-trace.txt"
rm -f DLog.txt
"$B/cli/kbupdate" flash --simulate --trace sim-trace.txt firmware.hex >/dev/null 2>&1
device_trace sim-trace.txt | cmp -s - "$R/run1-trace.txt" && run1_trace=same || run1_trace=differs
run1_reports=$(wc -l <"$R/run1-trace.txt")

ok=1
[ "$list_rc" = 0 ] || ok=0
[ "$check_rc" = 0 ] || ok=0
[ "$noaccess" = ok ] || ok=0
[ "$r1" = 0 ] && [ "$l1" = PASS ] && [ "$run1_trace" = same ] || ok=0
# 124 is timeout's code: a hang is no acceptable failure.
[ "$r2" != 0 ] && [ "$r2" != 124 ] && [ "$l2" = FAIL ] || ok=0
[ "$r3" = 0 ] && [ "$l3" = PASS ] || ok=0
# The kernel fails the unanswered request after 5 s; the pass is repeated.
[ "$r4" = 0 ] && [ "$l4" = PASS ] || ok=0
figure "kbupdate flash from normal operation to PASS $(secs $t1)"
figure "device side, Begin to Finish of runs 1, 3 and 4:" \
  "$(grep 'from Begin to Finish' "$R/kb.sim.log" | awk '{printf "%s ms  ", $4}')"
summary="list=$list_rc no-access=$noaccess hidraw-check=$check_rc run1=${l1:-none}/$r1 ($(secs $t1)) run2=${l2:-none}/$r2 ($(secs $t2)) run3=${l3:-none}/$r3 ($(secs $t3)) run4=${l4:-none}/$r4 ($(secs $t4)) run1-reports=$run1_reports/$run1_trace"
if [ $ok = 1 ]; then result "PASS $summary"; else result "FAIL $summary"; exit 1; fi
