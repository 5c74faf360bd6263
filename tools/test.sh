#!/usr/bin/env bash
# The whole test run: installs what is missing, builds, runs every suite.
#   1. the native tree (Release, warnings as errors, every target) and the
#      README's first command (tools/run-demo.sh);
#   2. then three lanes side by side, since the guest's scenarios mostly
#      wait on devices and the host's steps mostly on CPUs:
#        host:    the native suites, the Windows builds and their suites
#                 under Wine (30), ThreadSanitizer (10), the fuzzers (20,
#                 41), the Qt dialog on X (50), the Debian package (60);
#        guest:   the Linux scenarios on a real kernel, one boot (40);
#        windows: once the 32-bit build is there, the Wine scenarios on a
#                 real kernel and the 32-bit build's suites, one boot (42);
#   3. the benchmarks (12, 13, 21), alone, so that their figures are the
#      machine's.
# Each step's output goes to build/test-logs/STEP.log and is printed whole
# when the step ends; at the end one line per step (and per guest
# scenario), the whole run's time, and a non-zero exit when a step failed.
# Compiled objects, Wine prefixes and the guest's packages are cached on the
# machine outside the clone (tools/test-env.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tools/setup.sh all || exit 1
. tools/test-env.sh

export JOBS=${JOBS:-2}
logs=$root/build/test-logs
rm -rf "$logs" && mkdir -p "$logs"
t_start=$SECONDS

# step NAME COMMAND...: runs COMMAND with its output in NAME.log, then
# prints the log and one line, both under one lock so that lanes do not mix
# their output. The line also goes to the summary, in the order steps end.
step() {
  local name=$1; shift
  local t0=$SECONDS rc=0 line
  "$@" >"$logs/$name.log" 2>&1 </dev/null || rc=$?
  if [ $rc = 0 ]; then line="ok    $name ($((SECONDS - t0)) s)"; else line="FAIL  $name ($((SECONDS - t0)) s)"; fi
  (
    flock 9
    echo "=== $name"
    cat "$logs/$name.log"
    echo "$line, ended at $(((SECONDS - t_start) / 60)) min $(((SECONDS - t_start) % 60)) s"
    echo "$line" >>"$logs/summary"
    # The guest's scenarios, each on a line of its own.
    grep -h '^KBT-GUEST: [0-9].*\.sh ' "$logs/$name.log" | sed 's/^KBT-GUEST: /        /' >>"$logs/summary"
  ) 9>"$logs/.print"
  echo "$line" >"$logs/$name.status"
  return $rc
}
script() { env KB_TREES_BUILT="$KB_TREES_BUILT" bash "$root/tools/ci.d/$1.sh"; }

native_build() { kb_native_tree; }
native_tests() {
  # The suites mostly wait on simulated keyboards' fixed times: more at once
  # than there are CPUs.
  (cd "$root/build/native" && ctest --output-on-failure -j "$((JOBS * 2))" --timeout 300)
}
demo() {
  tools/run-demo.sh && [ "$(cat out/DLog.txt)" = $'PASS\r' ]
}
host_steps=(30-windows 10-tsan 20-fuzz 41-descriptor-fuzz 50-qt-dialog 60-package)

# 1.
rm -f "$root/build/win32/.kb-built"
lanes=0
if step native-build native_build; then
  KB_TREES_BUILT=native
  lanes=1
fi
step main-job demo

# 2.
if [ $lanes = 1 ]; then
  win32_ready() {  # until the 32-bit build is there or its step has ended
    while [ ! -e "$root/build/win32/.kb-built" ] && [ ! -e "$logs/30-windows.status" ]; do
      sleep 5
    done
    [ -e "$root/build/win32/.kb-built" ]
  }
  (step 40-guest-linux script 40-guest-linux) &
  guest=$!
  (
    if win32_ready; then
      step 42-guest-windows script 42-guest-windows
    else
      step 42-guest-windows bash -c 'echo "no 32-bit Windows build (30-windows failed)"; exit 1'
    fi
  ) &
  windows=$!
  step native-tests native_tests
  for s in "${host_steps[@]}"; do step "$s" script "$s"; done
  wait "$guest" "$windows"
else
  # Without the native tree every step builds what it needs itself: one at
  # a time, as no two may build in one folder at once.
  step native-tests native_tests
  for s in "${host_steps[@]}" 40-guest-linux 42-guest-windows; do step "$s" script "$s"; done
fi

# 3.
for s in 12-update-bench 13-station-bench 21-hex-bench; do step "$s" script "$s"; done

echo
cat "$logs/summary"
failed=$(grep -c '^FAIL' "$logs/summary")
total=$(grep -cE '^(ok|FAIL)' "$logs/summary")
elapsed=$((SECONDS - t_start))
echo "steps: $((total - failed)) passed, $failed failed in $((elapsed / 60)) min $((elapsed % 60)) s"
[ "$failed" -eq 0 ]
