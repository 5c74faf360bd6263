#!/usr/bin/env bash
# kbupdate's bash completion against the real program's help, with and
# without the bash-completion helpers. A stand-in program adds a --port
# option and keyboard locations, in the JSON and the plain form of `list`.
#   completion_test.sh KBUPDATE COMPLETION_SCRIPT
set -uo pipefail
real=$(realpath "$1")
script=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/kbupdate-stub" <<STUB
#!/usr/bin/env bash
case "\$1 \${2:-}" in
  "help flash")
    "$real" help flash
    echo "  --port LOCATION  only the keyboard at LOCATION"
    ;;
  list*)
    sim=0
    json=0
    for a in "\$@"; do
      [[ \$a == --simulate ]] && sim=1
      [[ \$a == --json ]] && json=1
    done
    if ((sim)); then locations=(sim-1 sim-2); else locations=(1-2.3 1-4); fi
    if ((json)); then
      [[ \${STUB_JSON:-0} == 1 ]] || { echo "kbupdate list: takes no arguments" >&2; exit 2; }
      for l in "\${locations[@]}"; do echo "{\"location\": \"\$l\", \"mode\": \"update\"}"; done
    else
      echo "location  mode    interfaces"
      for l in "\${locations[@]}"; do echo "\$l  update  /dev/hidraw1 /dev/hidraw2"; done
    fi
    ;;
  *) exec "$real" "\$@" ;;
esac
STUB
chmod +x "$work/kbupdate-stub"

mkdir -p "$work/files/sub"
touch "$work/files/fw.hex" "$work/files/OLD.HEX" "$work/files/notes.txt"

failures=0
# check "LINE" EXPECTED... : completes the last word of LINE (a trailing
# blank means an empty word) and compares the sorted candidates.
check() {
  local line=$1
  shift
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _kbupdate kbupdate "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  local got want
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sed 's#/$##' | sort -u | tr '\n' ' ')
  want=$(printf '%s\n' "$@" | sort -u | tr '\n' ' ')
  if [[ $got != "$want" ]]; then
    echo "FAIL [$mode] '$line': got '$got', want '$want'"
    failures=$((failures + 1))
  fi
}
# Like check, but only requires the EXPECTED candidates among the result.
check_has() {
  local line=$1
  shift
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _kbupdate kbupdate "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  local w
  for w in "$@"; do
    if ! printf '%s\n' "${COMPREPLY[@]}" | grep -qxF -- "$w"; then
      echo "FAIL [$mode] '$line': '$w' missing from '${COMPREPLY[*]}'"
      failures=$((failures + 1))
    fi
  done
}

run_cases() {
  cd "$work/files" || exit 1
  local k=$real
  check "$k " access convert dump flash help inspect list results station verify
  check "$k fl" flash
  check "$k help in" inspect
  check "$k help inspect " 
  check_has "$k -" --help --version --verbose --quiet
  check_has "$k flash --" --simulate --trace --wait --sim-fail= --sim-corrupt= --help --quiet
  check_has "$k -q flash --tr" --trace
  check "$k -q fl" flash
  check "$k flash --tr" --trace
  check "$k flash --wait " 
  check "$k flash --trace " fw.hex OLD.HEX notes.txt sub
  check "$k flash " fw.hex OLD.HEX sub
  check "$k flash --simulate --wait 5 f" fw.hex
  check "$k convert fw.hex " fw.hex OLD.HEX notes.txt sub
  check_has "$k station --" --count --log --port --sim-operator --sim-keyboards --json
  check "$k station --log " fw.hex OLD.HEX notes.txt sub
  check "$k results " push summary
  check "$k results push " fw.hex OLD.HEX notes.txt sub
  local s=$work/kbupdate-stub
  check "$s flash --port " 1-2.3 1-4
  check "$s flash --simulate --port sim-" sim-1 sim-2
  STUB_JSON=1 check "$s flash --port 1-" 1-2.3 1-4
  STUB_JSON=1 check "$s flash --simulate --port " sim-1 sim-2
}

mode=plain
# shellcheck disable=SC1090
source "$script"
run_cases

helpers=/usr/share/bash-completion/bash_completion
if [[ -r $helpers ]]; then
  mode=bash-completion
  # shellcheck disable=SC1090
  source "$helpers"
  source "$script"
  run_cases
else
  echo "note: $helpers not installed; completion checked without its helpers"
fi

if ((failures)); then
  echo "$failures completion case(s) failed"
  exit 1
fi
echo "completion: all cases passed"
