#!/usr/bin/env bash
# The HID report descriptor parser under libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, for a bounded time (FUZZ_SECONDS, default 60),
# seeded with real descriptors.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/fuzz
seconds=${FUZZ_SECONDS:-60}

tools/fuzz-build.sh descriptor_fuzz

corpus=$build/descriptor-corpus
mkdir -p "$corpus"
seed() {  # seed NAME HEX: the bytes of HEX (spaces allowed) into the corpus
  local hex=${2// /}
  printf "$(sed 's/../\\x&/g' <<<"$hex")" >"$corpus/$1"
}
seed boot-keyboard "05010906a101050719e029e71500250175019508810295017508810195057501050819012905910295017503910195067508150025650507190029658100c0"
seed boot-mouse "05010902a1010901a100050919012903150025019503750181029501750581010501093009311581257f750895028106c0c0"
seed consumer "050c0901a1018503150026ff0319002aff03751095018100c0"
seed vendor-5-6 "0600ff0901a101850509011500 26ff00750895 05b102 850609029601 08b102c0"
seed vendor-no-ids "0600ff0901a101150026ff0075089540b102c0"
seed long-push-pop "fe031001020306 00ff0901a1017508 9504a475019508b102b4b102c0"

timeout --kill-after=10 $((seconds + 120)) "$build/tests/hid_linux/descriptor_fuzz" \
  -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$build/" "$corpus" 2>&1 | tail -n 15
