# The Windows program's HID layer (SetupAPI, HidD_SetFeature/GetFeature)
# under Wine against the simulated keyboard on the real kernel:
#   A. keyboard in update mode: list shows it; flash -> PASS, DLog.txt PASS,
#      the device's memory equals the image, its reports equal those of a
#      clean run (the in-process simulator's, 27);
#   B. keyboard in normal operation: flash sends the entry pair (seen on the
#      device side); Wine does not see the keyboard come back in update mode
#      (tools/wine/README.md), so Wine is restarted and a second flash passes;
#   C. a report the keyboard never answers, then the keyboard leaves the bus
#      mid-run: FAIL, no hang.
# Wine sees only the hidraw nodes present when it starts: every case starts
# its keyboard, then Wine.
# timeout: 900
. "$KBT_TREE/tools/vm/guest-lib.sh"
EXE=$W/cli/kbupdate.exe
[ -f "$EXE" ] || skip "no $EXE (the Windows build)"
export WINEPREFIX=$KBT_TREE/build/vm/wine-prefix WINEDEBUG=-all WINEARCH=win32
export WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=
[ -f "$WINEPREFIX/.kb-guest-ready" ] || skip "no guest Wine prefix (tools/vm/wine-prefix.sh)"
xvfb_start || exit 1
CLEANUP+=("timeout 20 wineserver -k")

shared_workdir || exit 1
# The clean run: the in-process simulated keyboard's reports, as the host saw
# them (same line format as kbsim-uhid's device-side trace).
"$B/cli/kbupdate" flash --simulate --trace sim-trace.txt firmware.hex >/dev/null 2>&1
device_trace sim-trace.txt >"$R/clean-run-trace.txt"
rm -f DLog.txt

# wine_up CASE PATTERN: a new Wine (the old one ended), started by
# kbupdate.exe list, which must show PATTERN. One retry: Wine's PlugPlay
# service was once seen not to start. Sets took (ms).
wine_up() {
  local attempt t0
  for attempt in 1 2; do
    wine_down
    t0=$(now_ms)
    timeout 20 wineserver -p >/dev/null 2>&1
    timeout 150 wine "$EXE" list >"$R/list-$1.log" 2>&1
    took=$(($(now_ms) - t0))
    note "$1: Wine start and kbupdate.exe list, attempt $attempt: $(secs $took)"
    cat "$R/list-$1.log"
    grep -qiE "$2" "$R/list-$1.log" && return 0
  done
  return 1
}

# wine_down: Wine ends. Before a keyboard leaves for good: a hidraw handle
# whose device is gone keeps Wine's bus busy with read errors.
wine_down() {
  local t0
  t0=$(now_ms)
  timeout 30 wineserver -k >/dev/null 2>&1
  timeout 30 wineserver -w >/dev/null 2>&1
  note "Wine ended in $(secs $(($(now_ms) - t0)))"
}

# flash_exe CASE [WAIT]: one kbupdate.exe flash; sets rc, took (ms), log.
flash_exe() {
  rm -f DLog.txt
  local t0
  t0=$(now_ms)
  timeout 150 wine "$EXE" flash --wait "${2:-20}" firmware.hex >"$R/flash-$1.log" 2>&1
  rc=$?
  took=$(($(now_ms) - t0))
  log=$(tr -d '\r' <DLog.txt 2>/dev/null)
  tr -d '\r' <"$R/flash-$1.log" | grep -v '^progress' 
  note "$1: exit $rc, DLog.txt '$log', $(secs $took)"
}

# same_memory TAG: the keyboard's program memory equals the image.
same_memory() { cmp -s image.bin "$R/$1.memory"; }

ok=1
update_mode='0603 +1020 .*(data|command)'

note "A. keyboard in update mode"
sim_start a --update-mode --trace "$R/a.trace" --dump "$R/a.memory" || exit 1
wine_up A "$update_mode" || { note "Wine does not show the keyboard"; ok=0; }
start_a=$took
flash_exe A
ra=$rc la=$log ta=$took
wine_down
sim_stop a
reports_a=$(device_trace "$R/a.trace" | wc -l)
device_trace "$R/a.trace" | cmp -s - "$R/clean-run-trace.txt" && trace_a=same || trace_a=differs
same_memory a && mem_a=image || mem_a=differs
# The location column, where the build has one: what Wine gives.
location_a=$(awk 'NR == 1 && /location/ {print "listed"; exit} NR == 1 {print "no column"}' "$R/list-A.log")
[ "$ra" = 0 ] && [ "$la" = PASS ] && [ "$trace_a" = same ] && [ "$mem_a" = image ] || ok=0

note "B. keyboard in normal operation"
sim_start b --trace "$R/b.trace" --dump "$R/b.memory" || exit 1
wine_up B1 '4b54 +0101' || { note "Wine does not show the keyboard"; ok=0; }
flash_exe B1 5
rb1=$rc lb1=$log
# The Enter-update-mode pair as the device took it.
grep -q '^[0-9]* normal set ok 05 75' "$R/b.trace" && grep -q '^[0-9]* normal set ok 05 ab' "$R/b.trace" &&
  entry=seen || entry=missing
wine_up B2 "$update_mode" || { note "Wine does not show the keyboard after its restart"; ok=0; }
restart_b=$took
flash_exe B2
rb2=$rc lb2=$log tb2=$took
wine_down
sim_stop b
same_memory b && mem_b=image || mem_b=differs
[ "$entry" = seen ] && [ "$rb1" != 124 ] && [ "$rb2" = 0 ] && [ "$lb2" = PASS ] &&
  [ "$mem_b" = image ] || ok=0

note "C. a report the keyboard never answers, then the keyboard leaves mid-run"
# One keyboard, one Wine start for both faults: the kernel fails the
# unanswered request after its 5 s, the run repeats what failed, and the
# keyboard leaves at report 12.
sim_start c --update-mode --stall-at 5 --stall-in-entry 0 --unplug-at 12 --in-entry 0 \
  --trace "$R/c.trace" || exit 1
wine_up C "$update_mode" || ok=0
flash_exe C
rc_c=$rc lc=$log tc=$took
wine_down
sim_stop c
grep -q '^[0-9]* [a-z]* [a-z]* none' "$R/c.trace" && stalled=yes || stalled=no
grep -q 'leaves the bus (unplugged)' "$R/c.sim.log" && left=yes || left=no
# 124 would be timeout's: a hang is no acceptable failure.
[ "$rc_c" = 1 ] && [ "$lc" = FAIL ] && [ $stalled = yes ] && [ $left = yes ] || ok=0

figure "Wine start with kbupdate.exe list $(secs $start_a) (first), $(secs $restart_b) (restart)"
figure "kbupdate.exe flash from update mode to PASS $(secs $ta)"
summary="A=${la:-none}/$ra ($(secs $ta)) reports=$reports_a trace=$trace_a memory=$mem_a location=$location_a B=entry-$entry,${lb1:-none}/$rb1,restart,${lb2:-none}/$rb2 memory=$mem_b C=unanswered-$stalled,left-$left,${lc:-none}/$rc_c ($(secs $tc))"
if [ $ok = 1 ]; then result "PASS $summary"; else result "FAIL $summary"; exit 1; fi
