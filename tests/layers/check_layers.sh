#!/usr/bin/env bash
# Each layer sees only the headers of the folders it may use: an include of
# a layer above it, or of a platform backend, does not build, whatever form
# it takes.
#   - by its usual name ("ui/x.h"): checked with the compiler itself over
#     each layer's include folders as the build made them
#     (LAYERS_DIR/TARGET.inc, one folder a line);
#   - by a path from the including file's folder ("../ui/x.h", "linux/x.h"
#     from device/): checked with the build's own fence
#     (cmake/include_fence.cmake) over a probe file in a copy of the tree
#     made of links, so that nothing is written into the sources.
#   check_layers.sh CXX LAYERS_DIR CMAKE SOURCE_DIR
set -uo pipefail
cxx=$1 layers=$(cd "$2" && pwd) cmake=$3 src=$(cd "$4" && pwd)
cd / || exit 1  # quoted includes of standard input are looked up here first
failures=0
report() {  # report WHAT GOT WANT
  if [ "$2" != "$3" ]; then
    echo "FAIL $1: $2 (want $3)"
    failures=$((failures + 1))
  else
    echo "ok   $1: $2"
  fi
}

try() {  # try TARGET HEADER WANT(ok|fail)
  local flags=() dir got
  while IFS= read -r dir; do [ -n "$dir" ] && flags+=(-I "$dir"); done <"$layers/$1.inc"
  if printf '#include "%s"\n' "$2" | "$cxx" -std=c++20 -fsyntax-only "${flags[@]}" -x c++ - \
    >/dev/null 2>&1; then got=ok; else got=fail; fi
  report "$1 including $2" "$got" "$3"
}

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
for d in image device dialog station sim ui cli app; do cp -as "$src/$d" "$tree/$d"; done

fence() {  # fence TARGET FOLDER INCLUDE WANT(ok|fail): a file of FOLDER that includes INCLUDE
  local probe="$tree/$2/layer_probe.cpp" got
  printf '#include "%s"\n' "$3" >"$probe"
  printf '%s\n' "$probe" >"$tree/files"
  if "$cmake" -DTARGET="$1" -DROOT="$tree" -DLAYERS="$layers" -DFILES="$tree/files" \
    -DINCLUDES="$layers/$1.inc" -DSTAMP="$tree/stamp" -P "$src/cmake/include_fence.cmake" \
    >/dev/null 2>&1; then got=ok; else got=fail; fi
  rm -f "$probe"
  report "$1: $2/ including \"$3\"" "$got" "$4"
}

try kb_image image/hex_to_bin.h ok
try kb_image device/hid.h fail
try kb_image ui/dialog_services.h fail
try kb_device device/session.h ok
try kb_device image/firmware_image.h ok
try kb_device ui/status_outputs.h fail
try kb_device device/linux/hid_linux.h fail
try kb_device sim/sim_bus.h fail
try kb_device cli/verbs.h fail
try kb_device dialog/dialog_state.h fail
try kb_device station/station_runner.h fail
try kb_sim sim/sim_hub.h ok
try kb_sim ui/dialog_controller.h fail
try kb_sim dialog/dialog_state.h fail
try kb_dialog dialog/dialog_state.h ok
try kb_dialog device/session.h ok
try kb_dialog ui/status_outputs.h fail
try kb_dialog station/station_runner.h fail
try kb_dialog sim/sim_bus.h fail
try kb_station station/station_runner.h ok
try kb_station device/update_mode.h ok
try kb_station dialog/dialog_state.h fail
try kb_station sim/sim_hub.h fail
try kb_station ui/status_outputs.h fail
try kb_ui ui/dialog_controller.h ok
try kb_ui dialog/workers.h ok
try kb_ui ui/qt/main_dialog.h fail
try kb_ui device/linux/hid_linux.h fail
try kb_ui sim/sim_bus.h fail

fence kb_device device hid.h ok
fence kb_device device ../image/firmware_image.h ok
fence kb_device device ../ui/status_outputs.h fail
fence kb_device device linux/hid_linux.h fail
fence kb_device device ../dialog/dialog_state.h fail
fence kb_device device ../station/station_runner.h fail
fence kb_device device ../sim/sim_bus.h fail
fence kb_device device ../cli/verbs.h fail
fence kb_image image ../device/hid.h fail
fence kb_dialog dialog ../device/session.h ok
fence kb_dialog dialog ../ui/status_outputs.h fail
fence kb_station station ../device/session.h ok
fence kb_station station ../dialog/dialog_state.h fail
fence kb_station station ../sim/sim_hub.h fail
fence kb_sim sim ../ui/dialog_controller.h fail
fence kb_ui ui qt/main_dialog.h fail
fence kb_ui ui ../dialog/dialog_state.h ok
[ "$failures" -eq 0 ]
