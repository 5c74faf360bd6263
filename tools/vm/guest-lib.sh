# Helpers for the guest's scenarios (tools/vm/guest.d/): sourced, never run.
# Every wait is bounded; every process a scenario starts is ended by
# cleanup at its exit.
SCENARIO=$(basename "${BASH_SOURCE[1]}" .sh)
B=$KBT_TREE/build/native
W=$KBT_TREE/build/win32
HEX=$KBT_TREE/res/demo/firmware.hex
SIM=$B/sim/uhid/kbsim-uhid
R=$KBT_RESULTS/$SCENARIO
mkdir -p "$R"
declare -A SIMS=()
CLEANUP=()

now_ms() { date +%s%3N; }
# secs MS: "12.34 s"
secs() { printf '%d.%02d s' $(($1 / 1000)) $((($1 % 1000) / 10)); }
result() { echo "RESULT $SCENARIO: $*"; }
figure() { echo "FIGURE $SCENARIO: $*"; }
note() { echo "--- $*"; }
skip() { result "SKIP $*"; exit 77; }

# wait_for FILE REGEX SECONDS: until a line of FILE matches.
wait_for() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -qE "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# sim_start TAG [kbsim-uhid options]: one simulated keyboard; its log is
# $R/TAG.sim.log. Returns once its first interfaces exist.
sim_start() {
  local tag=$1; shift
  "$SIM" "$@" >"$R/$tag.sim.log" 2>&1 &
  SIMS[$tag]=$!
  wait_for "$R/$tag.sim.log" 'kbsim-uhid: ready' 20 || { note "simulator $tag did not start"; return 1; }
}

# sim_stop TAG: the keyboard leaves the bus, writes its files and ends.
sim_stop() {
  local pid=${SIMS[$1]:-} i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 150; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  unset "SIMS[$1]"
}

cleanup() {
  local c tag
  for c in "${CLEANUP[@]}"; do eval "$c" >/dev/null 2>&1; done
  for tag in "${!SIMS[@]}"; do sim_stop "$tag"; done
}
trap cleanup EXIT

# busy_cpus: two busy loops, one a CPU of the guest, until the scenario
# ends: the station then works as on a line PC that runs other software.
busy_cpus() {
  local i
  for i in 1 2; do
    (while :; do :; done) &
    CLEANUP+=("kill $!")
  done
}

# hidraw_count: the hidraw nodes present now.
hidraw_count() { ls /sys/class/hidraw 2>/dev/null | wc -l; }

# wait_nodes N SECONDS: until exactly N hidraw nodes exist.
wait_nodes() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    [ "$(hidraw_count)" = "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# the_image FILE: the image the converter makes of firmware.hex.
the_image() { "$B/cli/kbupdate" convert "$HEX" "$1" >/dev/null; }

# device_trace FILE: the update-mode reports of a device-side trace, without
# their numbers (what two runs are compared by).
device_trace() { awk '$2 != "normal" { $1 = ""; print substr($0, 2) }' "$1"; }

# add_user NAME [GROUPS]: a user of our own, made in the guest's overlay
# (the machine's own users are left as they are).
add_user() {
  id "$1" >/dev/null 2>&1 && return 0
  useradd -M -d /tmp ${2:+-G "$2"} -s /bin/sh "$1"
}

# xvfb_start: an X server for what needs one (Wine's services, the dialog).
xvfb_start() {
  Xvfb :7 -screen 0 800x600x24 -nolisten tcp >"$R/xvfb.log" 2>&1 &
  CLEANUP+=("kill $!")
  export DISPLAY=:7
  local i
  for ((i = 0; i < 100; i++)); do [ -e /tmp/.X11-unix/X7 ] && return 0; sleep 0.1; done
  note "Xvfb did not start"
  return 1
}

# udev_unpack: Debian's udev package (unpacked on the machine into
# build/vm/udev, see tools/vm/run-guest.sh) into the guest's overlay, with
# the shipped rule file; the machine itself stays without udev. Skips the
# scenario where it was not unpacked.
udev_unpack() {
  local udev=$KBT_TREE/build/vm/udev/current
  [ -x "$udev/bin/udevadm" ] || skip "no unpacked udev package in build/vm/udev"
  tar -C "$udev" -cf - . | tar -C / -xf - --keep-directory-symlink || return 1
  mkdir -p /etc/udev/rules.d
  cp "$KBT_TREE/res/udev/70-kbupdate.rules" /etc/udev/rules.d/
}

# udev_start: systemd-udevd as a daemon, stopped at the scenario's end.
udev_start() {
  /lib/systemd/systemd-udevd --daemon 2>"$R/udevd.log" || { note "udevd did not start"; return 1; }
  CLEANUP+=("udevadm control --exit")
  local i
  for ((i = 0; i < 100; i++)); do [ -S /run/udev/control ] && return 0; sleep 0.1; done
  note "no /run/udev/control"
  return 1
}

# shared_workdir: a folder that every user may write to, holding the
# firmware and its image, made the current directory ($work).
shared_workdir() {
  work=$(mktemp -d) && chmod 777 "$work" && cd "$work" || return 1
  cp "$HEX" firmware.hex && the_image image.bin
}

# as USER COMMAND: COMMAND run by USER in $work.
as() { local user=$1; shift; timeout 90 runuser -u "$user" -- sh -c "cd '$work' && $*"; }

# udev_keyboard: the simulated keyboard (trace and memory in $R) under the
# udev daemon, its nodes there and the daemon settled. A USB keyboard takes
# a second or two to come back after the switch. With the simulator's
# default 0.3 s a slow udev daemon (software emulation on a busy machine) was
# seen still at the old nodes when the new ones, with the same minor numbers,
# appeared, and the dialog's Start failed at once (red, no report sent): the
# dialog took nodes whose access rule was not applied yet. Here the keyboard
# takes a real keyboard's time.
udev_keyboard() {
  sim_start kb --enum-delay-ms 1500 --trace "$R/kb.trace" --dump "$R/kb.memory" || return 1
  wait_nodes 2 20 && timeout 30 udevadm settle
  ls -l /dev/hidraw*
}
