#!/usr/bin/env bash
# The Windows station window's demo under Wine on a running X display
# ($DISPLAY, e.g. Xvfb): KeyboardUpdateStationDemo.exe over eight simulated
# keyboards, the units at sim-6 failing, saves its window when the tiles show
# every place updating, every unit done, and the next units side by side, then
# ends by itself; the pictures become OUT_DIR/station-win32-{updating,done,
# mixed}.png. Checks that each was taken and that the results log holds the
# units it showed.
#   tools/wine/station-screenshots.sh BUILD_DIR [OUT_DIR]   (default docs/)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: station-screenshots.sh BUILD_DIR [OUT_DIR]}" && pwd)
out=${2:-$root/docs}
mkdir -p "$out" && out=$(cd "$out" && pwd)
# Under /tmp: the window shows the results log's path.
work=$(mktemp -d /tmp/kbstation.XXXXXX)
trap 'rm -rf "$work"' EXIT

# In a folder of its own: the firmware beside it, the results log and the
# pictures in its current folder (relative paths, the same under Wine).
cp "$build/app/KeyboardUpdateStationDemo.exe" "$root/res/demo/firmware.hex" "$work/"
t0=$SECONDS
(cd "$work" && KB_WINE_TIMEOUT=180 "$here/run.sh" ./KeyboardUpdateStationDemo.exe \
  --screenshots . --log r.csv) >"$work/out.log" 2>&1
rc=$?
failed=0
[ $rc -eq 0 ] || { echo "station-screenshots: the demo ended with exit $rc" >&2; cat "$work/out.log" >&2; failed=1; }
for s in updating done mixed; do
  if [ -s "$work/station-$s.bmp" ]; then
    convert "$work/station-$s.bmp" -strip "$out/station-win32-$s.png" || failed=1
  else
    echo "station-screenshots: no picture of '$s'" >&2
    failed=1
  fi
done
# Every unit of the first round is recorded; the window closed during the
# second, whose runs are recorded as interrupted. Only sim-6's units fail
# otherwise.
rows=$(tr -d '\r' <"$work/r.csv" 2>/dev/null | tail -n +2)
units=$(grep -c . <<<"$rows")
# Columns: location 2, result 4, reason 9 (a reason with a comma is quoted
# and split further, but it is no "interrupted", which has none).
fails=$(awk -F, '$4 == "FAIL" && $9 != "interrupted"' <<<"$rows" | wc -l)
others=$(awk -F, '$4 == "FAIL" && $9 != "interrupted" && $2 != "sim-6"' <<<"$rows" | wc -l)
echo "station-screenshots: $((SECONDS - t0)) s; results log: $units units, $fails failed at sim-6, $others elsewhere"
[ "$units" -ge 8 ] && [ "$fails" -ge 1 ] && [ "$others" = 0 ] || failed=1
[ $failed -eq 0 ] && echo "station-screenshots: ok, $out/station-win32-{updating,done,mixed}.png"
exit $failed
