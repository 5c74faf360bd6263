# The keyboard on a real USB stack: a simulated keyboard on vhci-hcd port 1,
# enumerated by usbcore, bound by usbhid, with the USB serial HK0001:
#   - kbupdate list: "keyboard at 1-1: normal mode, serial HK0001" (the
#     location is the USB port path, the serial the USB string);
#   1. flash from normal operation -> PASS; the device took exactly the
#      reports of a clean run of the in-process simulated keyboard, as on
#      uhid (each feature report a USB control transfer);
#   2. the keyboard leaves the bus at update report 13 (a USB disconnect)
#      -> FAIL, exit 1, no hang;
#   3. it comes back on the same port (in normal operation: its program
#      was whole again by then) -> PASS, and its memory equals the image.
# timeout: 240
. "$KBT_TREE/tools/vm/guest-lib.sh"
. "$KBT_TREE/tools/vm/guest-usb.sh"
K=$B/cli/kbupdate

shared_workdir || exit 1
# The clean run's reports, as the in-process keyboard took them.
"$K" flash --simulate --trace sim-trace.txt firmware.hex >/dev/null 2>&1
device_trace sim-trace.txt >"$R/clean-run-trace.txt"
rm -f DLog.txt

# Run 1 makes the 1st entry into update mode, run 2 the 2nd (the keyboard
# leaves at its 13th report, a verify read, and comes back a second later),
# run 3 the 3rd.
usb_start kb --port 1 --serial HK0001 --unplug-at 13 --in-entry 2 \
  --trace "$R/kb.trace" --dump "$R/kb.memory" || exit 1
usb_keyboards 1 60 || { dmesg | tail -40; exit 1; }
note "USB devices: $(ls /sys/bus/usb/devices | tr '\n' ' ')"

note "kbupdate list"
timeout 30 "$K" list >"$R/list.log" 2>&1
list_rc=$?
cat "$R/list.log"
listed=bad
grep -q '^keyboard at 1-1: normal mode, serial HK0001' "$R/list.log" &&
  grep -q ' 0xff00 .* 6  enter  *ok' "$R/list.log" && listed=ok

# flash NAME: one kbupdate flash; sets rc, took (ms) and log.
flash() {
  rm -f DLog.txt
  local t0
  t0=$(now_ms)
  timeout 90 "$K" flash firmware.hex >"$R/$1.log" 2>&1
  rc=$?
  took=$(($(now_ms) - t0))
  log=$(tr -d '\r' <DLog.txt 2>/dev/null)
  grep -v '^progress' "$R/$1.log" | tail -5
  note "$1: exit $rc, DLog.txt '$log', $(secs $took)"
}
flash run1
r1=$rc l1=$log t1=$took
device_trace "$R/kb.trace" >"$R/run1-trace.txt"
cmp -s "$R/clean-run-trace.txt" "$R/run1-trace.txt" && trace=same || trace=differs
reports=$(wc -l <"$R/run1-trace.txt")
flash run2
r2=$rc l2=$log t2=$took
usb_keyboards 1 30
flash run3
r3=$rc l3=$log t3=$took
sim_stop kb
cmp -s image.bin "$R/kb.memory" && memory=image || memory=differs
grep -q 'leaves the bus (unplugged)' "$R/kb.sim.log" && left=yes || left=no
leds=$(grep -c 'keyboard LEDs set' "$R/kb.sim.log")

figure "USB keyboard, kbupdate flash from normal operation to PASS $(secs $t1)"
figure "USB keyboard, device side, Begin to Finish:" \
  "$(grep -o 'update took [0-9]* ms' "$R/kb.sim.log" | awk '{printf "%s ms  ", $3}')"
summary="list=$list_rc/$listed run1=${l1:-none}/$r1 ($(secs $t1)) reports=$reports/$trace run2=${l2:-none}/$r2 left=$left ($(secs $t2)) run3=${l3:-none}/$r3 ($(secs $t3)) memory=$memory led-reports=$leds"
if [ "$list_rc" = 0 ] && [ $listed = ok ] && [ "$r1" = 0 ] && [ "$l1" = PASS ] && [ $trace = same ] &&
  [ "$r2" = 1 ] && [ "$l2" = FAIL ] && [ $left = yes ] && [ "$r3" = 0 ] && [ "$l3" = PASS ] &&
  [ $memory = image ]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
