#!/usr/bin/env bash
# Fuzzes the Intel HEX conversion for a bounded time (clang, libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer), comparing it with a plain
# model of the reader. Any finding fails the step. FUZZ_SECONDS overrides
# the run time (default 60).
set -euo pipefail
build=build/fuzz
seconds=${FUZZ_SECONDS:-60}

tools/fuzz-build.sh hex_to_bin_fuzz

# The corpus grows in the build folder; the seeds in the repository stay as
# they are. Each seed's first byte picks the reader's read size.
corpus=$build/hex-corpus
mkdir -p "$corpus"
cp tests/image/fuzz_seeds/* "$corpus"/
printf '\x3e' | cat - res/demo/firmware.hex >"$corpus/demo-firmware"

# libFuzzer's running commentary goes to a log; its end is shown either way.
# A small quarantine lets freed memory be reused soon (no fresh pages for
# every execution); use after free is still caught within it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=4:max_malloc_fill_size=0}
log=$build/hex-fuzz.log
status=0
timeout $((seconds + 120)) "$build/tests/image/hex_to_bin_fuzz" "$corpus" \
  -max_total_time="$seconds" -dict=tests/image/hex.dict -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$build/" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  tail -n 80 "$log"
  echo "hex_to_bin_fuzz: finding or failure (exit $status); input saved under $build/" >&2
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$log" || true
grep -oE 'exec/s: [0-9]+' "$log" | tail -n 1 || true
