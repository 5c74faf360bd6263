#!/usr/bin/env bash
# Runs the dialog's demo over the simulated keyboard under Xvfb and saves the
# window in its four colours: docs/dialog-{grey,yellow,green,red}.png.
#   tools/screenshots.sh [OUTPUT_DIR]   (default docs/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-$root/docs}
case "$out" in /*) ;; *) out=$root/$out ;; esac
# DEMO=path/to/keyboard-update-tool-demo skips the build (CI builds it already).
demo=${DEMO:-}
if [ -z "$demo" ]; then
  build=$root/build/screenshots
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKB_BUILD_TESTS=OFF \
    -DKB_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j "${JOBS:-2}" --target keyboard-update-tool-demo >/dev/null
  demo=$build/app/keyboard-update-tool-demo
fi

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
