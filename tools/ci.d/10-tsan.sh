#!/usr/bin/env bash
# ThreadSanitizer build of the thread tests: sessions side by side, the
# dialog's discovery passes, update workers and image lock, and the station,
# with the simulated bus on real threads. Builds only the test programs it
# runs.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=${JOBS:-2}
compiler=()
if command -v clang++ >/dev/null; then compiler=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++); fi
# Other areas' warnings under another compiler are not this step's business.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKB_TSAN=ON -DKB_WERROR=OFF \
  -DKB_BUILD_QT=OFF -DKB_BUILD_BENCH=OFF "${compiler[@]}" >/dev/null
cmake --build build/tsan -j "$jobs" --target device_concurrency_tests dialog_concurrency_tests \
  dialog_tests station_tests
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
# Repeated: a race that needs an unlucky interleaving gets several chances.
timeout 300 build/tsan/tests/device/device_concurrency_tests --gtest_repeat=20 --gtest_brief=1
timeout 300 build/tsan/tests/dialog/dialog_concurrency_tests --gtest_repeat=20 --gtest_brief=1
timeout 300 build/tsan/tests/dialog/dialog_tests --gtest_filter='WorkerTest.*:DiscoveryTest.*' \
  --gtest_brief=1
# The station runner over simulated keyboards swapped by a scripted operator.
timeout 300 build/tsan/tests/station/station_tests --gtest_repeat=3 --gtest_brief=1
