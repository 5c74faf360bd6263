#!/usr/bin/env bash
# The Qt dialog on a real X server (Xvfb): the widget tests on the xcb
# platform (mouse grabs, window flags, modal boxes), a whole demo cycle of
# the simulated keyboard to PASS and FAIL with screenshots, and the dialog's
# start-up and idle figures.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
# The native build of tools/test.sh, so that the dialog is not built twice.
build=$root/build/native
. tools/test-env.sh
kb_native_tree qt_tests bench_dialog keyboard-update-tool keyboard-update-tool-demo \
  keyboard-update-station keyboard-update-station-demo

xrun() { timeout --kill-after=10 "$1" xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" "${@:2}"; }

echo "--- widget tests on xcb"
QT_QPA_PLATFORM=xcb xrun 120 "$build/tests/qt/qt_tests" --gtest_brief=1

echo "--- demo cycle with screenshots"
shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
DEMO=$build/app/keyboard-update-tool-demo \
  STATION_DEMO=$build/app/keyboard-update-station-demo tools/screenshots.sh "$shots"

echo "--- the real program stays up on an X server, also given a .hex file"
xrun 30 bash -c "'$build/app/keyboard-update-tool' '$root/res/demo/firmware.hex' & pid=\$!; sleep 2;
  kill -0 \$pid || exit 1; kill \$pid; wait \$pid || true"
echo "--- a wrong option ends it with exit code 2, before any window"
rc=0
env -u DISPLAY "$build/app/keyboard-update-tool" --any-argument 2>/dev/null || rc=$?
[ "$rc" -eq 2 ]

echo "--- the dialog controller with the workers under ThreadSanitizer"
# The same ThreadSanitizer build as tools/ci.d/10-tsan.sh.
tsan=$root/build/tsan
compiler=()
if command -v clang++ >/dev/null; then compiler=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++); fi
cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKB_TSAN=ON -DKB_WERROR=OFF \
  -DKB_BUILD_QT=OFF -DKB_BUILD_BENCH=OFF "${compiler[@]}" >/dev/null
cmake --build "$tsan" -j "${JOBS:-2}" --target ui_tests
TSAN_OPTIONS="halt_on_error=1" timeout 300 "$tsan/tests/ui/ui_tests" --gtest_repeat=20 --gtest_brief=1

echo "--- dialog figures"
xrun 60 "$build/bench/dialog/bench_dialog" 3
