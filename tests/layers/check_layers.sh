#!/usr/bin/env bash
# Each layer sees only the headers of the folders it may use: an include of
# a layer above it, or of a platform backend, does not compile. Checked with
# the compiler itself over each layer's include folders as the build made
# them (LAYERS_DIR/TARGET.inc, one folder a line).
#   check_layers.sh CXX LAYERS_DIR
set -uo pipefail
cxx=$1 layers=$(cd "$2" && pwd)
cd / || exit 1  # quoted includes of standard input are looked up here first
failures=0
try() {  # try TARGET HEADER WANT(ok|fail)
  local flags=() dir got
  while IFS= read -r dir; do [ -n "$dir" ] && flags+=(-I "$dir"); done <"$layers/$1.inc"
  if printf '#include "%s"\n' "$2" | "$cxx" -std=c++20 -fsyntax-only "${flags[@]}" -x c++ - \
    >/dev/null 2>&1; then got=ok; else got=fail; fi
  if [ "$got" != "$3" ]; then
    echo "FAIL $1 including $2: $got (want $3)"
    failures=$((failures + 1))
  else
    echo "ok   $1 including $2: $got"
  fi
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
[ "$failures" -eq 0 ]
