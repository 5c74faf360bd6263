#!/usr/bin/env bash
# Prints the conversion benchmark's figures (HexToBin against objcopy on a
# 14 KiB image file, a 2.9 MB file and a 64 MiB file, peak memory; on the
# 2.9 MB file the instructions of `kbupdate convert` and of objcopy under
# valgrind, some 10 s). Uses the native build of the test run; fails only
# when the benchmark cannot be built or run, never on a time.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/test-env.sh
build=build/native
kb_native_tree hex_bench kbupdate
work=build/hex-bench
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT  # the generated files take 65 MB
timeout 300 "$build/bench/hex/hex_bench" "$work"
