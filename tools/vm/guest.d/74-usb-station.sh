# The station over four USB ports, the first of each of vhci-hcd's first
# four controllers (1-1, 3-1, 5-1, 7-1: four hubs, whose enumerations the
# kernel runs side by side), with an operator who reads its JSON lines and
# swaps units, while two busy loops keep both of the guest's CPUs busy (a
# line PC is rarely idle: the station's listings then lag behind the bus):
#   - each unit has its own USB serial (U<port>-<n>) and its own memory;
#   - after its PASS a unit restarts into its new firmware and is back as
#     soon as usbcore has enumerated it again (--return-ms 300; with the
#     CPUs busy the host takes seconds for that): the station knows it by
#     its serial, shows it "done, unplug" and never updates it twice;
#   - the operator pulls each unit shown done and plugs the next one in
#     (a new serial, a new memory): six units a port, 20 swaps;
#   - the first unit at 3-1 is pulled out in the middle of its run (at its
#     13th update report): a FAIL for it alone, the others pass; the
#     operator takes it away and plugs in its replacement.
# --count 24: the results log holds 24 rows, 23 PASS and 1 FAIL (3-1, its
# first unit); each row's location is its unit's USB port path, its serial
# the unit's USB serial string (each once), the counters differ, the image
# hash is the image's; every passed unit's memory equals the image after
# one update (one Begin in its own trace).
# timeout: 900
. "$KBT_TREE/tools/vm/guest-lib.sh"
. "$KBT_TREE/tools/vm/guest-usb.sh"
K=$B/cli/kbupdate

shared_workdir || exit 1
hash=$(sha256sum image.bin | cut -d' ' -f1)

UNITS=6  # a port
COUNT=$((4 * UNITS))
# unit PORT N: the options of the N-th unit plugged in at PORT (UNITS a
# port), with its own memory (random, byte 0 not 0x00: it starts its
# application).
unit() {
  local id=u$1-$2 pull=
  [ "$2" -le "$UNITS" ] || return 0
  { printf '\x02'; head -c 14335 /dev/urandom; } >"$R/$id.initial"
  # The first unit at 3-1 is pulled out at its 13th update report (a
  # verify read), in the middle of its run, and stays out.
  [ "$1/$2" = "$PULL_PORT/1" ] && pull=" --unplug-at 13 --in-entry 1 --replug-ms 600000"
  echo "--serial U$1-$2 --memory $R/$id.initial --dump $R/$id.memory --trace $R/$id.trace" \
    "--return-ms 300$pull"
}

ports=() places=()
for k in 0 1 2 3; do
  ports+=("$((k * USB_HUB_PORTS + 1))")
  places+=(--port "$((1 + 2 * k))-1")
done
PULL_PORT=${ports[1]}
usb_start st || exit 1
busy_cpus
# The station's JSON lines on the guest's own tmpfs, where the operator's
# tail sees each at once (on the results share it would poll).
json=$work/station.json
t0=$(now_ms)
timeout 800 "$K" station --count "$COUNT" --json --log "$R/results.csv" --bus-log "$R/bus.log" "${places[@]}" firmware.hex \
  >"$json" 2>"$R/station.err" &
station=$!
CLEANUP+=("kill $station")

# The operator, who takes the unit pulled at 3-1 away once its FAIL is shown.
PULL_PORT=$PULL_PORT usb_operator st "$station" "$json" &
# The first units come 2 s apart, as an operator plugs them in one by one:
# four restarts at once would each take the emulated guest 1.5 s and more.
for p in "${ports[@]}"; do
  usb_ctl st "plug $p $(unit "$p" 1)" || note "unit 1 at port $p not plugged"
  sleep 2
done
wait "$station"
station_rc=$?
cp "$json" "$R/station.json"
took=$(($(now_ms) - t0))
grep -v '"progress"' "$R/station.json"
cat "$R/station.err"
sim_stop st
cat "$R/results.csv"

# The results log, row by row.
rows=$(tail -n +2 "$R/results.csv" | wc -l)
passes=$(tail -n +2 "$R/results.csv" | awk -F, '$4 == "PASS"' | wc -l)
fails=$(tail -n +2 "$R/results.csv" | awk -F, '$4 == "FAIL" {print $2 "/" $3}' | paste -sd' ')
swaps=$((rows - 4))
# Location and serial of the same unit: U<port>-<n> at that port's path.
matched=0
tail -n +2 "$R/results.csv" >"$R/rows.csv"
while IFS=, read -r _ location serial _; do
  port=${serial#U}
  [ "$location" = "$(usb_location "${port%-*}")" ] && matched=$((matched + 1))
done <"$R/rows.csv"
serials=$(tail -n +2 "$R/results.csv" | cut -d, -f3 | sort -u | wc -l)
counters=$(tail -n +2 "$R/results.csv" | awk -F, '$4 == "PASS" {print $8}' | sort -u | wc -l)
hashes=$(tail -n +2 "$R/results.csv" | awk -F, -v h="$hash" '$7 == h' | wc -l)
# Every passed unit: memory = image, and one Begin in its own trace.
memory=0 once=0
for serial in $(tail -n +2 "$R/results.csv" | awk -F, '$4 == "PASS" {print $3}'); do
  id=u${serial#U}
  cmp -s image.bin "$R/$id.memory" && memory=$((memory + 1))
  [ "$(grep -c '^[0-9]* command set ok 05 45 45' "$R/$id.trace")" = 1 ] && once=$((once + 1))
done
dones=$(grep -c '"type":"done"' "$R/station.json")
restarts=$(usb_restarts "$R/st.sim.log")

figure "USB station, $COUNT units over 4 ports with $swaps swaps, CPUs busy: $(secs $took)"
figure "USB station, restarts after Finish, leaving to configured again: $restarts"
summary="station=$station_rc rows=$rows swaps=$swaps PASS=$passes FAIL=$fails location-serial=$matched/$COUNT serials=$serials counters=$counters/$passes hash=$hashes/$COUNT memory=$memory/$passes updated-once=$once/$passes done=$dones"
if [ "$station_rc" = 1 ] && [ "$rows" = "$COUNT" ] && [ "$passes" = $((COUNT - 1)) ] &&
  [ "$fails" = "3-1/U${ports[1]}-1" ] && [ "$matched" = "$COUNT" ] && [ "$serials" = "$COUNT" ] &&
  [ "$counters" = "$passes" ] && [ "$hashes" = "$COUNT" ] && [ "$memory" = "$passes" ] &&
  [ "$once" = "$passes" ] && [ "$dones" -ge $((COUNT - 5)) ]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
