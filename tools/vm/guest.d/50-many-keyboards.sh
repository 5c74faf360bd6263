# Three simulated keyboards at once, told apart by their location (HID_PHYS
# <name>/input<N>, a different name each; one starts in normal operation):
# kbupdate list shows each keyboard's location, `kbupdate flash --all`
# updates all three (three PASS) and each keyboard's memory equals the
# image. Under Wine, where the guest's Wine prefix exists, kbupdate.exe list
# is recorded with what Wine gives as the location.
# Skips while kbupdate has no `flash --all`.
# timeout: 300
. "$KBT_TREE/tools/vm/guest-lib.sh"
"$B/cli/kbupdate" help flash 2>&1 | grep -q -- '--all' || skip "kbupdate flash has no --all yet"

shared_workdir || exit 1

sim_start k1 --phys kbt-desk-1 --update-mode --dump "$R/k1.memory" || exit 1
sim_start k2 --phys kbt-desk-2 --update-mode --dump "$R/k2.memory" || exit 1
sim_start k3 --phys kbt-desk-3 --dump "$R/k3.memory" || exit 1
wait_nodes 6 20 || { note "not 6 hidraw nodes"; exit 1; }

note "kbupdate list"
timeout 30 "$B/cli/kbupdate" list >"$R/list.log" 2>&1
list_rc=$?
cat "$R/list.log"
locations=0
for n in 1 2 3; do grep -q "kbt-desk-$n\b" "$R/list.log" && locations=$((locations + 1)); done
# The location is the phys up to its last /input: never the whole phys.
grep -q 'kbt-desk-[0-9]/input' "$R/list.log" && locations="$locations/with-input"

note "kbupdate flash --all"
t0=$(now_ms)
timeout 150 "$B/cli/kbupdate" flash --all firmware.hex >"$R/flash.log" 2>&1
flash_rc=$?
took=$(($(now_ms) - t0))
cat "$R/flash.log"
passes=$(grep -c 'PASS' "$R/flash.log")
for n in 1 2 3; do sim_stop k$n; done
same=0
for n in 1 2 3; do cmp -s image.bin "$R/k$n.memory" && same=$((same + 1)); done

# What Wine gives for the location (recorded, not judged).
wine_location=not-run
if [ -f "$W/cli/kbupdate.exe" ] && [ -f "$KBT_TREE/build/vm/wine-prefix/.kb-guest-ready" ]; then
  export WINEPREFIX=$KBT_TREE/build/vm/wine-prefix WINEDEBUG=-all WINEARCH=win32
  export WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=
  xvfb_start && {
    CLEANUP+=("timeout 20 wineserver -k")
    sim_start w1 --phys kbt-desk-1 --update-mode && sim_start w2 --phys kbt-desk-2 --update-mode
    timeout 20 wineserver -p
    timeout 150 wine "$W/cli/kbupdate.exe" list >"$R/wine-list.log" 2>&1
    cat "$R/wine-list.log"
    wine_location=$(head -n1 "$R/wine-list.log" | grep -q location && echo listed || echo no-column)
  }
fi

figure "kbupdate flash --all, three keyboards: $(secs $took)"
summary="list=$list_rc locations=$locations flash=$flash_rc PASS-lines=$passes memory=$same/3 wine-location=$wine_location"
if [ "$list_rc" = 0 ] && [ "$locations" = 3 ] && [ "$flash_rc" = 0 ] && [ "$passes" -ge 3 ] &&
  [ "$same" = 3 ]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
