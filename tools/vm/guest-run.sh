#!/bin/bash
# Runs inside the guest, in the machine's root under the tmpfs overlay
# (tools/vm/boot-init.sh): every scenario that run.conf names, in order, each
# bounded by the time its "# timeout: N" line gives (default 300 s). A
# scenario exits 0 when it passed, 77 when it skipped (saying why); it
# prints its own "RESULT" line and any "FIGURE" lines, which are copied to
# the console. Its whole output goes to /results/NAME.log, one summary line
# per scenario to /results/summary. Then the guest powers off.
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8 TERM=dumb
. /results/run.conf
export KBT_TREE KBT_RESULTS=/results
cd "$KBT_TREE" || exit 1
up() { cut -d' ' -f1 /proc/uptime; }
echo "KBT-GUEST: up at $(up) s, kernel $(uname -r)"
for _ in $(seq 50); do [ -c /dev/uhid ] && break; sleep 0.1; done

for s in $KBT_SCENARIOS; do
  file=tools/vm/guest.d/$s
  limit=$(sed -n 's/^# timeout: *\([0-9][0-9]*\).*/\1/p' "$file" | head -n1)
  log=/results/${s%.sh}.log
  t0=$(date +%s)
  # timeout puts the scenario in a process group of its own and ends the
  # whole group: whatever the scenario started goes too.
  timeout --kill-after=10 "${limit:-300}" bash "$file" >"$log" 2>&1 </dev/null
  rc=$?
  took=$(($(date +%s) - t0))
  case $rc in
    0) status=pass ;;
    77) status=skip ;;
    124 | 137) status=timeout ;;
    *) status=fail ;;
  esac
  grep -E '^(RESULT|FIGURE)' "$log"
  echo "KBT-GUEST: $s $status (exit $rc, $took s)"
  echo "$s $status $rc ${took}s" >>/results/summary
done
sync
echo "KBT-GUEST: done at $(up) s"
busybox poweroff -f
