#!/usr/bin/env bash
# Builds libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in the one fuzzing build folder, build/fuzz, so
# that the fuzz steps share the sanitized core library.
#   tools/fuzz-build.sh TARGET...
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKB_FUZZ=ON \
  -DKB_BUILD_QT=OFF -DKB_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "${JOBS:-2}" --target "$@"
