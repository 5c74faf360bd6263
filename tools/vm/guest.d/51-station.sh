# The station on the real kernel with keyboards that report no serial, so
# that the times alone tell a unit's restart from the next unit: four places
# (kbt-bench-1..4), six units a place, an operator who reads the station's
# JSON lines, pulls each unit shown "done, unplug" and plugs the next one in
# (a new kbsim-uhid each: 20 swaps), while two busy loops keep both of the
# guest's CPUs busy (the station's listings then lag behind the bus). After
# its PASS each unit restarts (off the bus about 0.5 s) and must be taken
# for the same unit, by the device events' times: `--count 24` ends with 24
# PASS rows, six a place, and every unit's memory equals the image after
# one update (one Begin in its own trace): none updated twice, none
# skipped.
# timeout: 900
. "$KBT_TREE/tools/vm/guest-lib.sh"
"$B/cli/kbupdate" help station 2>&1 | grep -q -- '--count' || skip "kbupdate has no station --count yet"

shared_workdir || exit 1
UNITS=6  # a place
COUNT=$((4 * UNITS))
pids=$R/unit.pids  # every unit's simulator, for the cleanup
CLEANUP+=("xargs -r kill -TERM <'$pids'")

# plug P N: the N-th unit at place P, its memory and trace in $R; returns
# once its interfaces exist.
plug() {
  local tag=p$1-$2
  [ "$2" -le "$UNITS" ] || return 0
  "$SIM" --phys "kbt-bench-$1" --dump "$R/$tag.memory" --trace "$R/$tag.trace" \
    >"$R/$tag.sim.log" 2>&1 &
  echo $! >>"$pids"
  echo $! >"$R/$tag.pid"
  wait_for "$R/$tag.sim.log" 'kbsim-uhid: ready' 20 || note "unit $tag did not start"
}
# unplug P N: the unit leaves the bus, writes its memory and ends.
unplug() {
  local pid i
  pid=$(cat "$R/p$1-$2.pid" 2>/dev/null) || return 0
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 150; i++)); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
}

busy_cpus
json=$work/station.json
t0=$(now_ms)
timeout 800 "$B/cli/kbupdate" station --count "$COUNT" --json --log "$R/results.csv" --bus-log "$R/bus.log" firmware.hex \
  >"$json" 2>"$R/station.err" &
station=$!
CLEANUP+=("kill $station")

# The operator: unplugs a unit 0.3 s after it is shown done, plugs the
# place's next one 0.8 s later. No command is started per line: a run's
# progress lines would leave it seconds behind under emulation.
(
  declare -A at=()
  tail --pid="$station" -n +1 -F "$json" 2>/dev/null | while IFS= read -r line; do
    [[ $line == *'"type":"slot"'*'"state":"done, unplug"'* ]] || continue
    [[ $line =~ \"location\":\"kbt-bench-([0-9]+)\" ]] || continue
    p=${BASH_REMATCH[1]}
    n=${at[$p]:-1}
    at[$p]=$((n + 1))
    (sleep 0.3; unplug "$p" "$n"; sleep 0.8; plug "$p" $((n + 1))) &
  done
) &
for p in 1 2 3 4; do plug "$p" 1; sleep 1; done
wait "$station"
station_rc=$?
took=$(($(now_ms) - t0))
cp "$json" "$R/station.json"
grep -v '"progress"' "$R/station.json"
cat "$R/station.err"
# Every unit leaves and writes its memory.
for p in 1 2 3 4; do for ((n = 1; n <= UNITS; n++)); do unplug "$p" "$n"; done; done
cat "$R/results.csv"

rows=$(tail -n +2 "$R/results.csv" | wc -l)
passes=$(tail -n +2 "$R/results.csv" | awk -F, '$4 == "PASS"' | wc -l)
per_place=$(tail -n +2 "$R/results.csv" | cut -d, -f2 | sort | uniq -c | awk '{print $2 "=" $1}' | paste -sd' ')
memory=0 once=0 units=0
for p in 1 2 3 4; do
  for ((n = 1; n <= UNITS; n++)); do
    [ -f "$R/p$p-$n.trace" ] || continue
    units=$((units + 1))
    cmp -s image.bin "$R/p$p-$n.memory" && memory=$((memory + 1))
    [ "$(grep -c '^[0-9]* command set ok 05 45 45' "$R/p$p-$n.trace")" = 1 ] && once=$((once + 1))
  done
done
swaps=$((units - 4))
figure "uhid station, $COUNT units over 4 places with $swaps swaps, CPUs busy: $(secs $took)"
summary="station=$station_rc rows=$rows PASS=$passes units=$units swaps=$swaps per-place=[$per_place] memory=$memory/$units updated-once=$once/$units"
if [ "$station_rc" = 0 ] && [ "$rows" = "$COUNT" ] && [ "$passes" = "$COUNT" ] &&
  [ "$units" = "$COUNT" ] && [ "$memory" = "$COUNT" ] && [ "$once" = "$COUNT" ]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
