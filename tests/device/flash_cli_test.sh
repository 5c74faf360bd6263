#!/usr/bin/env bash
# kbupdate flash --simulate from the outside: exit codes, the last line,
# DLog.txt and the trace file. Real waits: about 20 s in all.
set -uo pipefail
kbupdate=$(realpath "$1")
hex=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0

check() {  # check NAME WANT_EXIT WANT_LAST_LINE WANT_LOG -- ARGS...
  local name=$1 want_exit=$2 want_line=$3 want_log=$4
  shift 5
  rm -f DLog.txt trace.txt
  local out
  out=$(timeout 60 "$kbupdate" flash "$@" 2>stderr.txt)
  local got_exit=$?
  local last
  last=$(printf '%s\n' "$out" | tail -n 1)
  local log=""
  [ -e DLog.txt ] && log=$(od -An -c DLog.txt | tr -s ' ')
  if [ "$got_exit" != "$want_exit" ] || [ "$last" != "$want_line" ] || [ "$log" != "$want_log" ]; then
    echo "FAIL $name: exit $got_exit (want $want_exit), last line '$last' (want '$want_line'), log '$log' (want '$want_log')"
    cat stderr.txt
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

pass_log=' P A S S \r \n'
fail_log=' F A I L \r \n'

check "success" 0 PASS "$pass_log" -- --simulate --trace trace.txt "$hex"
# Entry pair, two failed sends after the keyboard left, then the 27 reports.
lines=$(wc -l <trace.txt)
update=$(grep -cE '^[0-9]+ (command|data) ' trace.txt)
first=$(grep -m1 -E '^[0-9]+ command ' trace.txt)
if [ "$update" != 27 ] || [ "$first" != "5 command set ok 05 45 45 45 45 45" ]; then
  echo "FAIL trace: $lines lines, $update update reports, first '$first'"
  failures=$((failures + 1))
fi
check "fail from report 3" 1 FAIL "$fail_log" -- --simulate --sim-fail-from=3 "$hex"
check "unplug at report 13" 1 FAIL "$fail_log" -- --simulate --sim-unplug=13 "$hex"
check "block 2 corrupt" 1 FAIL "$fail_log" -- --simulate --sim-corrupt=2 "$hex"
check "faults need --simulate" 2 "" "" -- --sim-fail=3 "$hex"
# A refused run leaves FAIL, never an earlier PASS.
check "missing file" 3 "" "$fail_log" -- --simulate "$work/none.hex"
printf ':0100000000FF\n:00000001FF\n' >plain.hex
check "no signature" 5 "" "$fail_log" -- --simulate plain.hex
[ "$failures" -eq 0 ]
