#!/usr/bin/env bash
# The whole test run: installs what is missing, builds, runs every suite.
#   1. native build (Linux, Release with debug info) and its ctest suites
#   2. each step in tools/ci.d/ in name order (sanitizers, fuzzing, the
#      Windows build under Wine, the real-kernel end-to-end test, ...)
# Exits non-zero when anything failed; prints one line per step and a total.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tools/setup.sh all || exit 1

jobs=${JOBS:-2}
results=()
failed=0

step() {  # step NAME COMMAND...
  local name=$1; shift
  local t0=$SECONDS
  echo "=== $name"
  if "$@"; then
    results+=("ok    $name ($((SECONDS - t0)) s)")
  else
    results+=("FAIL  $name ($((SECONDS - t0)) s)")
    failed=$((failed + 1))
  fi
}

native() {
  cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build "$root/build/native" -j "$jobs" &&
    (cd "$root/build/native" && ctest --output-on-failure -j "$jobs" --timeout 300)
}
step "native build and tests" native

for s in tools/ci.d/*.sh; do
  [ -e "$s" ] || continue
  step "$(basename "$s" .sh)" env JOBS="$jobs" bash "$s"
done

echo
printf '%s\n' "${results[@]}"
total=${#results[@]}
echo "steps: $((total - failed)) passed, $failed failed in $((SECONDS / 60)) min $((SECONDS % 60)) s"
[ "$failed" -eq 0 ]
