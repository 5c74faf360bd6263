# The station on the real kernel: `kbupdate station --count 4` with two
# simulated keyboards (a location each) that the test unplugs and plugs in
# again after their first update: four PASS lines, and the memory of each
# keyboard of the second round equals the image.
# Skips while kbupdate has no station verb with --count.
# timeout: 300
. "$KBT_TREE/tools/vm/guest-lib.sh"
"$B/cli/kbupdate" help station 2>&1 | grep -q -- '--count' || skip "kbupdate has no station --count yet"

shared_workdir || exit 1

timeout 240 "$B/cli/kbupdate" station --count 4 firmware.hex >"$R/station.log" 2>&1 &
station=$!
CLEANUP+=("kill $station")
sim_start s1 --phys kbt-bench-1 || exit 1
sim_start s2 --phys kbt-bench-2 || exit 1
for _ in $(seq 1200); do [ "$(grep -c PASS "$R/station.log")" -ge 2 ] && break; sleep 0.1; done
note "first round done; unplugging and plugging in both keyboards"
sim_stop s1
sim_stop s2
sleep 1
sim_start s3 --phys kbt-bench-1 --dump "$R/s3.memory" || exit 1
sim_start s4 --phys kbt-bench-2 --dump "$R/s4.memory" || exit 1
wait "$station"
station_rc=$?
cat "$R/station.log"
passes=$(grep -c PASS "$R/station.log")
sim_stop s3
sim_stop s4
same=0
for n in 3 4; do cmp -s image.bin "$R/s$n.memory" && same=$((same + 1)); done
summary="station=$station_rc PASS-lines=$passes second-round-memory=$same/2"
if [ "$station_rc" = 0 ] && [ "$passes" = 4 ] && [ "$same" = 2 ]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
