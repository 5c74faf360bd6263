#!/usr/bin/env bash
# The main job: builds kbupdate and runs a whole update of the simulated
# keyboard with the demo firmware, no hardware needed.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh core
# KB_WERROR=ON (the test command sets it) treats warnings as errors.
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DKB_BUILD_TESTS=OFF \
  -DKB_BUILD_BENCH=OFF -DKB_BUILD_QT=OFF -DKB_WERROR="${KB_WERROR:-OFF}" >/dev/null
cmake --build build/demo -j "${JOBS:-2}" --target kbupdate
mkdir -p out
cd out
exec ../build/demo/cli/kbupdate flash --simulate ../res/demo/firmware.hex
