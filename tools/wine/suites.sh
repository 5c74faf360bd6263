#!/usr/bin/env bash
# Runs every test program of a Windows build under Wine, each whole and
# once (tools/wine/run.sh picks 32- or 64-bit Wine): one Wine start per
# program instead of one per test case as ctest would, which matters most
# under software emulation, where a start costs seconds. Prints a line per
# program and a total; exits non-zero when a program failed or none ran.
#   tools/wine/suites.sh BUILD_DIR [LOG_DIR]
# KB_WINE_TIMEOUT bounds each program (default here 600 s).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: suites.sh BUILD_DIR [LOG_DIR]}
logs=${2:-$build/Testing/wine}
mkdir -p "$logs"
export KB_WINE_TIMEOUT=${KB_WINE_TIMEOUT:-600}

failed=0 programs=0 passed=0 skipped=0
for exe in "$build"/tests/*/*_tests.exe; do
  [ -f "$exe" ] || continue
  name=$(basename "$exe" .exe)
  programs=$((programs + 1))
  t0=$SECONDS
  "$here/run.sh" "$exe" --gtest_brief=1 >"$logs/$name.log" 2>&1
  rc=$?
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$logs/$name.log" | tail -n1)
  s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' "$logs/$name.log" | tail -n1)
  passed=$((passed + ${p:-0})) skipped=$((skipped + ${s:-0}))
  if [ $rc -eq 0 ] && [ -n "$p" ]; then
    echo "suites: $name: ${p} passed${s:+, $s skipped} ($((SECONDS - t0)) s)"
  else
    echo "suites: $name: FAILED (exit $rc), its output follows"
    sed 's/^/    /' "$logs/$name.log"
    failed=1
  fi
done
[ $programs -gt 0 ] || { echo "suites: no test program in $build/tests" >&2; exit 1; }
echo "suites: $passed tests passed, $skipped skipped, in $programs programs"
exit $failed
