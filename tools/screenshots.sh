#!/usr/bin/env bash
# Runs the dialog's demo over the simulated keyboard under Xvfb and saves the
# window in its four colours: docs/dialog-{grey,yellow,green,red}.png; then
# the station window's demo over eight simulated keyboards:
# docs/station-{updating,done,mixed}.png, and over 64: docs/station-64.png.
#   tools/screenshots.sh [OUTPUT_DIR]   (default docs/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-$root/docs}
case "$out" in /*) ;; *) out=$root/$out ;; esac
# DEMO=path/to/keyboard-update-tool-demo and STATION_DEMO=path/to/
# keyboard-update-station-demo skip the build (CI builds them already).
demo=${DEMO:-}
station_demo=${STATION_DEMO:-}
if [ -z "$demo" ] || [ -z "$station_demo" ]; then
  build=$root/build/screenshots
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKB_BUILD_TESTS=OFF \
    -DKB_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j "${JOBS:-2}" \
    --target keyboard-update-tool-demo keyboard-update-station-demo >/dev/null
  demo=${demo:-$build/app/keyboard-update-tool-demo}
  station_demo=${station_demo:-$build/app/keyboard-update-station-demo}
fi

station_demo=$(realpath "$station_demo")
# The demo finds its .hex file beside itself and writes DLog.txt into the
# current directory: give it a folder of its own.
work=$(mktemp -d /tmp/keyboard-update.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$demo" "$work/keyboard-update-tool-demo"
cp "$root/res/demo/firmware.hex" "$work/"
mkdir -p "$out"
cd "$work"
timeout 120 xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" \
  ./keyboard-update-tool-demo --screenshots "$out"
for c in grey yellow green red; do
  [ -s "$out/dialog-$c.png" ] || { echo "missing $out/dialog-$c.png" >&2; exit 1; }
done
echo "result log: $(tr -d '\r' < DLog.txt)"

# The station window: it takes each picture when the tiles show it, and
# appends to the results log in its own folder.
timeout 120 xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
  "$station_demo" --screenshots "$out" firmware.hex
for s in updating done mixed; do
  [ -s "$out/station-$s.png" ] || { echo "missing $out/station-$s.png" >&2; exit 1; }
done
echo "station results log: $(($(wc -l < kbupdate-results.csv) - 1)) units"

# A bench of 64 places on a 1280 x 1024 screen, every place updating.
rm -f kbupdate-results.csv
timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
  "$station_demo" --places 64 --screenshots "$out" firmware.hex
[ -s "$out/station-64.png" ] || { echo "missing $out/station-64.png" >&2; exit 1; }
