#!/usr/bin/env bash
# Prints what an Update run against the simulated keyboard costs beyond its
# 2540 ms of fixed waits (goal: a ratio of at most 1.01 without latency), and
# the same over a full-speed USB latency model; then the whole `kbupdate
# flash --all` over 1 to 64 simulated keyboards from either start (goal: 64
# in at most 1.05 times the time of one, at most 32 MiB). Fails only when it
# cannot run.
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=build/native/bench/update
if [ ! -x "$dir/bench_update" ] || [ ! -x "$dir/bench_keyboards" ]; then
  cmake -S . -B build/bench-update -G Ninja -DCMAKE_BUILD_TYPE=Release -DKB_BUILD_TESTS=OFF \
    -DKB_BUILD_QT=OFF >/dev/null
  cmake --build build/bench-update -j "${JOBS:-2}" --target bench_update bench_keyboards
  dir=build/bench-update/bench/update
fi
timeout 120 "$dir/bench_update" 2
# One run of each: about 50 s, nearly all of it the keyboards' own waits.
timeout 240 "$dir/bench_keyboards" 1
