# Helpers for the USB scenarios (tools/vm/guest.d/7?-usb-*.sh), sourced after
# guest-lib.sh: simulated keyboards as USB devices on vhci-hcd
# (sim/usbip/kbsim-usbip), which usbcore enumerates and usbhid binds.
USBSIM=$B/sim/usbip/kbsim-usbip
[ -x "$USBSIM" ] || skip "no $USBSIM (build the kbsim-usbip target)"
[ -e /sys/devices/platform/vhci_hcd.0/attach ] || skip "no vhci-hcd in this guest"
# vhci-hcd's USB 2.0 root hubs: buses 1, 3, 5, ... with this many ports each.
USB_HUB_PORTS=$(($(cat /sys/devices/platform/vhci_hcd.0/nports) / 2 /
  $(ls -d /sys/devices/platform/vhci_hcd.* | wc -l)))

# usb_port LOCATION: the simulator's port number (--port) for a USB port
# path on vhci-hcd ("3-1": the second controller's first port).
usb_port() { echo $(((${1%-*} - 1) / 2 * USB_HUB_PORTS + ${1#*-})); }
# usb_location PORT: and back.
usb_location() { echo "$((1 + 2 * (($1 - 1) / USB_HUB_PORTS)))-$((($1 - 1) % USB_HUB_PORTS + 1))"; }

# usb_start TAG [kbsim-usbip options]: simulated USB keyboards, their log
# $R/TAG.sim.log, their control pipe /tmp/kbt-TAG.ctl (usb_ctl). Returns
# once every unit of the command line is attached; usbcore enumerates them
# after that (wait_nodes).
usb_start() {
  local tag=$1; shift
  rm -f "/tmp/kbt-$tag.ctl"
  "$USBSIM" --control "/tmp/kbt-$tag.ctl" "$@" >"$R/$tag.sim.log" 2>&1 &
  SIMS[$tag]=$!
  wait_for "$R/$tag.sim.log" 'kbsim-usbip: ready' 30 || { note "simulator $tag did not start"; return 1; }
}

# usb_ctl TAG LINE: one control line ("plug N [options]", "unplug N"); true
# when the simulator carried it out. Lines for different ports may be sent
# at once from several subshells.
usb_ctl() {
  local tag=$1 line=$2 port answers before i
  port=$(echo "$line" | awk '{print $2}')
  answers="kbsim-usbip: control: (.* port $port\$|plug $port: |no unit at port $port\$)"
  before=$(grep -cE "$answers" "$R/$tag.sim.log")
  echo "$line" >"/tmp/kbt-$tag.ctl"
  for ((i = 0; i < 300; i++)); do
    [ "$(grep -cE "$answers" "$R/$tag.sim.log")" -gt "$before" ] && break
    sleep 0.1
  done
  grep -E "$answers" "$R/$tag.sim.log" | tail -n1 | grep -qE "control: (un)?plugged port $port\$"
}

# usb_keyboards N SECONDS: until N USB keyboards are bound (2 hidraw nodes
# each, every one with a USB parent).
usb_keyboards() {
  local i n
  for ((i = 0; i < $2 * 10; i++)); do
    n=$(ls -d /sys/bus/usb/devices/*/*:1.*/0003:*/hidraw/hidraw* 2>/dev/null | wc -l)
    [ "$n" = $(($1 * 2)) ] && return 0
    sleep 0.1
  done
  note "$n USB hidraw nodes, not $(($1 * 2))"
  return 1
}

# usb_operator TAG STATION JSON: the operator at a station (pid STATION)
# whose JSON lines go to JSON, over keyboards of simulator TAG: pulls each
# unit shown "done, unplug" after 0.3 s and plugs in the port's next unit 0.8 s later,
# with the options `unit P N` prints for the N-th unit at port P (nothing:
# none). With PULL_PORT set, a FAIL at that port is a unit pulled out
# during its run (its own --unplug-at): the operator takes it away and
# plugs in the next one. Run it in the background.
usb_operator() {
  local tag=$1 station=$2 json=$3 line port unit
  declare -A plugged=() handled=()
  # No command is started per line: a fork costs tens of ms under emulation,
  # and a run's progress lines would leave the operator seconds behind.
  tail --pid="$station" -n +1 -F "$json" 2>/dev/null | while IFS= read -r line; do
    [[ $line =~ \"location\":\"([0-9]+)-([0-9]+)\" ]] || continue
    port=$(((BASH_REMATCH[1] - 1) / 2 * USB_HUB_PORTS + BASH_REMATCH[2]))
    case $line in
      *'"type":"slot"'*'"state":"done, unplug"'*) ;;
      *'"type":"unit"'*'"result":"FAIL"'*) [ "$port" = "${PULL_PORT:-}" ] || continue ;;
      *) continue ;;
    esac
    # Once a unit: the unit pulled mid-run fails while the kernel still
    # holds its disconnect (until the station's pending control transfer
    # times out), so the listing after its FAIL may show it there and the
    # station then shows it "done, unplug" as well.
    [[ $line =~ \"unit\":([0-9]+) ]] || continue
    unit=${BASH_REMATCH[1]}
    [ -z "${handled[$unit]:-}" ] || continue
    handled[$unit]=1
    plugged[$port]=$((${plugged[$port]:-1} + 1))
    (
      if [[ $line == *'"state":"done, unplug"'* ]]; then
        sleep 0.3
        usb_ctl "$tag" "unplug $port" || exit
      else
        usb_ctl "$tag" "unplug $port"  # already off the bus
      fi
      sleep 0.8
      options=$(unit "$port" "${plugged[$port]}")
      [ -n "$options" ] && usb_ctl "$tag" "plug $port $options"
    ) &
  done
}

# usb_restarts LOG: each restart after Finish as simulator log LOG shows it,
# from leaving the bus to the host's configuration of the device that came
# back: "1-1 0.82 s  1-3 1.33 s ...".
usb_restarts() {
  awk '$3 == "ms:" {
    loc = $4; sub(":", "", loc)
    if ($0 ~ /update took/) after[loc] = 1
    else if ($0 ~ /leaves the bus$/ && after[loc]) { left[loc] = $2; after[loc] = 0 }
    else if ($0 ~ /: configured$/ && left[loc] != "") {
      printf "%s %.2f s  ", loc, ($2 - left[loc]) / 1000; left[loc] = ""
    }
  }' "$1"
}
