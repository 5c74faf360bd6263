#!/usr/bin/env bash
# kbupdate dump and verify --simulate from the outside: what the files hold,
# that the trace carries no report that writes, exit codes, and that a
# failed dump leaves nothing. Real waits: about 30 s in all.
set -uo pipefail
kbupdate=$(realpath "$1")
hex=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0

fail() {
  echo "FAIL $*"
  [ -e stderr.txt ] && sed 's/^/    /' stderr.txt
  failures=$((failures + 1))
}
ok() { echo "ok   $*"; }

run() {  # run VERB ARGS...: exit code in $code, stdout in $out, stderr in stderr.txt
  out=$(timeout 60 "$kbupdate" "$@" 2>stderr.txt)
  code=$?
}

# A byte of a file as two hex digits, and a copy with one byte inverted.
byte_at() { od -An -tx1 -j "$2" -N1 "$1" | tr -d ' \n'; }
flip_byte() {  # flip_byte IN OUT OFFSET
  cp "$1" "$2"
  local v
  v=$(( 0x$(byte_at "$1" "$3") ^ 0xFF ))
  printf "$(printf '\\%03o' "$v")" | dd of="$2" bs=1 seek="$3" conv=notrunc status=none
}

"$kbupdate" -q convert "$hex" a.bin >/dev/null 2>&1 || { echo "FAIL cannot convert $hex"; exit 1; }

# The dump reads back exactly what the keyboard holds, and writes nothing.
run dump --simulate --sim-memory "$hex" --trace t.txt --bin out.bin out.hex
"$kbupdate" -q convert out.hex back.bin >/dev/null 2>&1
if [ "$code" != 0 ] || ! cmp -s back.bin a.bin || ! cmp -s out.bin a.bin; then
  fail "dump: exit $code, or out.hex/out.bin differ from the flash"
else
  ok "dump round trip"
fi
if grep -qE ' (set|get) (ok|fail) (05 45|05 57|06 77|05 65|05 77)' t.txt; then
  fail "dump trace holds a report that writes: $(grep -E ' (05 45|05 57|06 77|05 65|05 77)' t.txt | head -1)"
else
  ok "dump trace: no Begin, write window, write or Prepare"
fi
case "$out" in
  *"information block: "*) ok "dump prints the information block" ;;
  *) fail "dump stdout: '$out'" ;;
esac
run inspect out.hex
[ "$code" = 0 ] && printf '%s\n' "$out" | grep -q '^0 warnings' && ok "inspect finds nothing in the dump" ||
  fail "inspect out.hex: exit $code, $(printf '%s\n' "$out" | tail -n1)"
if command -v objcopy >/dev/null; then
  objcopy -I ihex -O binary out.hex objcopy.bin && cmp -s objcopy.bin a.bin &&
    ok "objcopy reads the dump as the same bytes" || fail "objcopy disagrees with the dump"
fi

# Verify: equal, then files that differ in the first, a middle and the last byte.
run verify --simulate --sim-memory "$hex" "$hex"
[ "$code" = 0 ] && [ "$(printf '%s\n' "$out" | tail -n1)" = PASS ] && ok "verify equal" ||
  fail "verify equal: exit $code, '$out'"
for at in 0 7168 14335; do
  flip_byte a.bin b.bin "$at"
  # The differing file as Intel HEX, written by dump from a keyboard holding it.
  rm -f b.hex
  run dump --simulate --sim-memory b.bin b.hex
  run verify --simulate --sim-memory "$hex" b.hex
  want=$(printf '0x%04x' "$at")
  if [ "$code" = 1 ] && grep -q "at $want " stderr.txt && grep -q "1 byte differs" stderr.txt &&
    [ "$(printf '%s\n' "$out" | tail -n1)" = FAIL ]; then
    ok "verify names the differing byte at $want"
  else
    fail "verify with a byte changed at $want: exit $code"
  fi
done

# A dump cut short leaves no file, and an existing file stays as it was.
echo old >kept.hex
run dump --simulate --sim-unplug=5 out5.hex
run dump --simulate --sim-unplug=5 kept.hex
if [ "$code" != 0 ] && [ ! -e out5.hex ] && [ "$(cat kept.hex)" = old ] &&
  [ -z "$(ls | grep -F .part-)" ]; then
  ok "failed dump leaves nothing"
else
  fail "failed dump: exit $code; files: $(ls | tr '\n' ' ')"
fi

# Interrupted during the read's wait: the handler ends the job, which removes
# its temporary file; an existing file stays.
timeout 60 "$kbupdate" dump --simulate kept.hex 2>stderr.txt &
pid=$!
sleep 1.2
kill -TERM "$pid"
wait "$pid"
code=$?
if [ "$code" = 143 ] && grep -q interrupted stderr.txt && [ "$(cat kept.hex)" = old ] &&
  [ -z "$(ls | grep -F .part-)" ]; then
  ok "interrupted dump leaves nothing"
else
  fail "interrupted dump: exit $code; files: $(ls | tr '\n' ' ')"
fi

# Several keyboards: refused without --port, the locations named.
run dump --simulate --sim-keyboards 2 several.hex
if [ "$code" = 2 ] && grep -q "sim-1, sim-2" stderr.txt && [ ! -e several.hex ]; then
  ok "several keyboards refused"
else
  fail "several keyboards: exit $code"
fi
run verify --simulate --sim-keyboards 2 --port sim-2 --json "$hex"
if [ "$code" = 0 ] && printf '%s\n' "$out" | tail -n1 | grep -q '"result":"PASS".*"location":"sim-2"'; then
  ok "--port picks one, --json result"
else
  fail "--port sim-2 --json: exit $code, '$(printf '%s\n' "$out" | tail -n1)'"
fi

run dump --simulate --sim-memory "$work/none.hex" none.hex
[ "$code" = 3 ] && [ ! -e none.hex ] && ok "missing --sim-memory file" || fail "missing --sim-memory: exit $code"
run dump --sim-fail=3 x.hex
[ "$code" = 2 ] && ok "faults need --simulate" || fail "faults without --simulate: exit $code"

[ "$failures" -eq 0 ]
