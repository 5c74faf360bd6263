# 32 USB keyboards at once, 8 on each of vhci-hcd's first four controllers
# (buses 1, 3, 5 and 7, hub ports 1-8), each with its own USB serial
# KB<port>, all in normal operation: kbupdate list shows 32 keyboards at
# their USB port paths with their serials; `kbupdate flash --all` switches
# and updates all of them (32 PASS, 64 re-enumerations), and each one's
# memory equals the image. Their 64 hidraw nodes are all the kernel has.
# timeout: 420
. "$KBT_TREE/tools/vm/guest-lib.sh"
. "$KBT_TREE/tools/vm/guest-usb.sh"
K=$B/cli/kbupdate

shared_workdir || exit 1
# The simulator counts ports over the controllers' USB 2.0 hubs, P a hub.
controllers=$(ls -d /sys/devices/platform/vhci_hcd.* | wc -l)
P=$(($(cat /sys/devices/platform/vhci_hcd.0/nports) / 2 / controllers))
[ "$controllers" -ge 4 ] && [ "$P" -ge 8 ] || skip "vhci-hcd has $controllers controllers of $P ports"
ports=() expect=()
for k in 0 1 2 3; do
  for i in $(seq 8); do
    ports+=("$((k * P + i))")
    expect+=("$((1 + 2 * k))-$i:KB$((k * P + i))")
  done
done
t0=$(now_ms)
usb_start many --ports "$(IFS=,; echo "${ports[*]}")" --serial KB%p --dump "$R/kb%p.memory" ||
  exit 1
usb_keyboards 32 180 || { dmesg | tail -20; exit 1; }
up=$(($(now_ms) - t0))
note "32 keyboards enumerated in $(secs $up)"

timeout 60 "$K" list >"$R/list.log" 2>&1
list_rc=$?
grep '^keyboard' "$R/list.log"
keyboards=$(grep -c '^keyboard at ' "$R/list.log")
placed=0
for e in "${expect[@]}"; do
  grep -q "^keyboard at ${e%%:*}: normal mode, serial ${e#*:}\$" "$R/list.log" && placed=$((placed + 1))
done

t1=$(now_ms)
timeout 300 "$K" flash --all firmware.hex >"$R/flash.log" 2>&1
flash_rc=$?
took=$(($(now_ms) - t1))
grep -v '^progress' "$R/flash.log" | tail -40
passes=$(grep -cE '^[1357]-[1-8] +PASS' "$R/flash.log")
sim_stop many
same=0
for n in "${ports[@]}"; do cmp -s image.bin "$R/kb$n.memory" && same=$((same + 1)); done

figure "32 USB keyboards: enumerated in $(secs $up); kbupdate flash --all $(secs $took)"
summary="list=$list_rc keyboards=$keyboards placed=$placed/32 flash=$flash_rc PASS=$passes/32 memory=$same/32"
if [ "$list_rc" = 0 ] && [ "$keyboards" = 32 ] && [ "$placed" = 32 ] && [ "$flash_rc" = 0 ] &&
  [ "$passes" = 32 ] && [ "$same" = 32 ]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
