# The station on Windows' HID layer under Wine on the real kernel:
# `kbupdate.exe station --count 2` with two simulated keyboards in update
# mode behind /dev/uhid, both plugged in before Wine starts (Wine sees only
# the hidraw nodes present at its start, tools/wine/README.md): two PASS
# lines in the results log at two different places, the image's hash equal
# to the Linux build's, and each keyboard's memory equal to the image.
# timeout: 600
. "$KBT_TREE/tools/vm/guest-lib.sh"
EXE=$W/cli/kbupdate.exe
[ -f "$EXE" ] || skip "no $EXE (the Windows build)"
export WINEPREFIX=$KBT_TREE/build/vm/wine-prefix WINEDEBUG=-all WINEARCH=win32
export WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=
[ -f "$WINEPREFIX/.kb-guest-ready" ] || skip "no guest Wine prefix (tools/vm/wine-prefix.sh)"
xvfb_start || exit 1
CLEANUP+=("timeout 20 wineserver -k")

shared_workdir || exit 1
# The Linux build's hash of the same image, for the column's comparison.
"$B/cli/kbupdate" station --simulate --count 1 --log linux.csv firmware.hex >/dev/null 2>&1
linux_hash=$(tr -d '\r' <linux.csv | awk -F, 'NR == 2 {print $7}')

sim_start k1 --update-mode --phys kbt-bench-1 --dump "$R/k1.memory" || exit 1
sim_start k2 --update-mode --phys kbt-bench-2 --dump "$R/k2.memory" || exit 1
# Two HID interfaces each (data and command): four nodes.
wait_nodes 4 20 || { note "the two keyboards' nodes did not appear"; exit 1; }

# Wine starts with both keyboards present: kbupdate.exe list starts it and
# must show both in update mode, two interfaces each (one retry: Wine's PlugPlay service was
# once seen not to start).
update_mode='0603 +1020 .*(data|command)'
for attempt in 1 2; do
  timeout 30 wineserver -k >/dev/null 2>&1
  timeout 30 wineserver -w >/dev/null 2>&1
  t0=$(now_ms)
  timeout 20 wineserver -p >/dev/null 2>&1
  timeout 150 wine "$EXE" list >"$R/list.log" 2>&1
  note "Wine start and kbupdate.exe list, attempt $attempt: $(secs $(($(now_ms) - t0)))"
  cat "$R/list.log"
  [ "$(grep -ciE "$update_mode" "$R/list.log")" -ge 4 ] && break
done

t0=$(now_ms)
timeout 240 wine "$EXE" station --count 2 --log r.csv firmware.hex >"$R/station.log" 2>&1
station_rc=$?
took=$(($(now_ms) - t0))
tr -d '\r' <"$R/station.log"
note "results log:"
tr -d '\r' <r.csv
timeout 30 wineserver -k >/dev/null 2>&1
sim_stop k1
sim_stop k2

passes=$(tr -d '\r' <r.csv | awk -F, 'NR > 1 && $4 == "PASS"' | wc -l)
places=$(tr -d '\r' <r.csv | awk -F, 'NR > 1 {print $2}' | sort -u | wc -l)
hashes=$(tr -d '\r' <r.csv | awk -F, -v h="$linux_hash" 'NR > 1 && $7 == h' | wc -l)
same=0
for n in 1 2; do cmp -s image.bin "$R/k$n.memory" && same=$((same + 1)); done
figure "kbupdate.exe station, two keyboards to PASS $(secs $took)"
summary="station=$station_rc PASS-rows=$passes places=$places linux-hash=$hashes/2 memory=$same/2"
if [ "$station_rc" = 0 ] && [ "$passes" = 2 ] && [ "$places" = 2 ] && [ "$hashes" = 2 ] &&
  [ "$same" = 2 ]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
