# The station's restarts on the USB stack: one port (1-1), units one after
# the other; after its PASS each restarts into its new firmware and is
# configured by the host again 300 (R1), 900 (R2), then 3000 ms (R3) after
# it left the bus (the simulator's --return-ms: its own off-bus time is that
# less what usbcore's enumeration took at its previous arrival, about 0.5 s
# under software emulation). Each reports its own serial, so each must be
# taken for the same unit coming back however long its restart took (R3 is
# away twice the 1.5 s window that keyboards without a serial get): shown
# "done, unplug", updated once, swapped by the operator for the next.
# Prints how long each was gone as the host saw it (USB disconnect to both
# hidraw nodes back, from the kernel's log).
# timeout: 240
. "$KBT_TREE/tools/vm/guest-lib.sh"
. "$KBT_TREE/tools/vm/guest-usb.sh"
K=$B/cli/kbupdate

shared_workdir || exit 1
since=$(cut -d' ' -f1 /proc/uptime)  # the kernel's log from here on
return_ms=(0 300 900 3000 300)
# unit PORT N: the N-th unit, back return_ms[N] after it left after Finish.
unit() {
  [ "$2" -le 4 ] || return 0
  echo "--serial R$2 --return-ms ${return_ms[$2]} --dump $R/r$2.memory --trace $R/r$2.trace"
}

usb_start rt || exit 1
# On the guest's own tmpfs: the operator's tail sees each line at once.
json=$work/station.json
t0=$(now_ms)
timeout 200 "$K" station --count 4 --json --log "$R/results.csv" --bus-log "$R/bus.log" --port 1-1 firmware.hex \
  >"$json" 2>"$R/station.err" &
station=$!
CLEANUP+=("kill $station")
usb_operator rt "$station" "$json" &
usb_ctl rt "plug 1 $(unit 1 1)" || note "unit 1 not plugged"
wait "$station"
station_rc=$?
cp "$json" "$R/station.json"
took=$(($(now_ms) - t0))
grep -v '"progress"' "$R/station.json"
sim_stop rt
cat "$R/results.csv"

# Off the bus after Finish, as the host saw it: from the USB disconnect of
# the update-mode device to the second hidraw node of the normal-mode one.
dmesg | awk -v since="$since" '{ line = $0; sub(/^\[ */, "", line) } line + 0 >= since' |
  grep -E 'usb 1-1:|vhci_hcd.0-1/' >"$R/kernel.log"
gaps=($(awk '
  { line = $0; sub(/^\[ */, "", line); t = line + 0 }
  /usb 1-1: USB disconnect/ { gone = t; left = ids }
  /hid-generic .*hidraw.*vhci_hcd.0-1\/input1/ {
    match($0, /0003:[0-9A-F]+:[0-9A-F]+/); ids = substr($0, RSTART + 5, 9)
    if (left == "0603:1020" && ids == "4B54:0101") printf "%.2f\n", t - gone
    left = ""
  }' "$R/kernel.log"))
# what N: how the station took unit RN's return.
what() {
  grep -q "\"state\":\"done, unplug\",\"unit\":[0-9]*,\"serial\":\"R$1\"" "$R/station.json" &&
    echo same-unit || echo next-unit
}
rows() { tail -n +2 "$R/results.csv" | awk -F, -v s="R$1" '$3 == s {print $4}' | paste -sd/; }
ok=1
for n in 1 2 3; do
  [ "$(what $n)" = same-unit ] && [ "$(rows $n)" = PASS ] && cmp -s image.bin "$R/r$n.memory" &&
    [ "$(grep -c '^[0-9]* command set ok 05 45 45' "$R/r$n.trace")" = 1 ] || ok=0
done
restarts=$(usb_restarts "$R/rt.sim.log")

figure "USB station, restarts after Finish, leaving to configured again: $restarts"
figure "USB station, the same restarts as the host saw them, USB disconnect to hidraw nodes back:" \
  "R1 ${gaps[0]:-?} s, R2 ${gaps[1]:-?} s, R3 ${gaps[2]:-?} s"
summary="R1=$(what 1),$(rows 1) R2=$(what 2),$(rows 2) R3=$(what 3),$(rows 3) station=$station_rc ($(secs $took))"
if [ $ok = 1 ]; then result "PASS $summary"; else result "FAIL $summary"; exit 1; fi
