#!/usr/bin/env bash
# Prints what an Update run against the simulated keyboard costs beyond its
# 2540 ms of fixed waits (goal: a ratio of at most 1.01 without latency), and
# the same over a full-speed USB latency model. Fails only when it cannot run.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=${KB_UPDATE_BENCH:-build/native/bench/update/bench_update}
if [ ! -x "$bin" ]; then
  cmake -S . -B build/bench-update -G Ninja -DCMAKE_BUILD_TYPE=Release -DKB_BUILD_TESTS=OFF \
    -DKB_BUILD_QT=OFF >/dev/null
  cmake --build build/bench-update -j "${JOBS:-2}" --target bench_update
  bin=build/bench-update/bench/update/bench_update
fi
timeout 120 "$bin" 2
