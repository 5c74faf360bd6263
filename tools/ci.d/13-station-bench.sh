#!/usr/bin/env bash
# Prints the station's units per hour over eight simulated keyboards with a
# 2 s operator swap, the same over 64 against the eight, the dialog's
# one-at-a-time cycle with the same swap, and the ratio of eight places to
# it. About 50 s. Fails only when it cannot run.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=${KB_STATION_BENCH:-build/native/bench/station/bench_station}
if [ ! -x "$bin" ]; then
  cmake -S . -B build/bench-station -G Ninja -DCMAKE_BUILD_TYPE=Release -DKB_BUILD_TESTS=OFF \
    -DKB_BUILD_QT=OFF >/dev/null
  cmake --build build/bench-station -j "${JOBS:-2}" --target bench_station
  bin=build/bench-station/bench/station/bench_station
fi
timeout 300 "$bin" 3
