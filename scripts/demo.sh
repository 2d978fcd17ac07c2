#!/usr/bin/env bash
# The main job, shown end to end: printer-sim plays two network printers and
# one USB printer (a fake sysfs/dev tree under a temporary folder), and cadmon's
# subcommands talk to it over TCP, over the fake USB device and by UDP
# broadcast. At the end, printer-sim's decoded reading of what it received.
#
#   scripts/build.sh && scripts/in-netns scripts/demo.sh      (BUILD_DIR=... for another build)
#
# It always runs inside a private network namespace (it re-enters itself
# through scripts/in-netns), because the scan broadcasts to 255.255.255.255.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
if [ "${PRIVATE_NETNS:-}" != 1 ]; then exec "$src/scripts/in-netns" "$0" "$@"; fi

build=${BUILD_DIR:-$src/build}
cadmon_bin=$build/settings-tool/cadmon
sim_bin=$build/sim/printer-sim
for program in "$cadmon_bin" "$sim_bin"; do
  [ -x "$program" ] || { echo "demo: $program is missing; run scripts/build.sh first" >&2; exit 1; }
done

tmp=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# Plain text in the printer's code page for every locale of this demo.
export LC_ALL=C.UTF-8
export USB_PRINTER_ROOT=$tmp/usb

"$sim_bin" --quiet-probes \
  --printer mac=00:1a:0b:ff:07:c0,ip=192.168.0.199,id=1.0 \
  --printer mac=00:11:22:33:44:55,ip=192.168.0.200,id=1.9c \
  --usb "$USB_PRINTER_ROOT" \
  --raw "$tmp/raw.bin" >"$tmp/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^printer-sim ready' "$tmp/sim.log" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$tmp/sim.log" >&2; exit 1; }
  sleep 0.1
done
grep -q '^printer-sim ready' "$tmp/sim.log" || { echo "demo: printer-sim did not start" >&2; cat "$tmp/sim.log" >&2; exit 1; }
echo "== $(head -n 1 "$tmp/sim.log")"

run() {
  echo
  printf '$ cadmon'; printf ' %q' "$@"; echo
  local status=0
  "$cadmon_bin" "$@" 2>&1 || status=$?
  echo "(exit status $status)"
}

run --net 127.0.0.1 test-connection
run --net 127.0.0.1 set-ip 192.168.1.199 255.255.255.0 192.168.0.1
run --usb set-ip 192.168.1.199 255.255.255.0 192.168.0.1
run --net 127.0.0.1 print $'Hello from cadmon\r\n'
run --usb cut
run --net 127.0.0.1 set-mac 0 1a b FF 7 c0
run --net 127.0.0.1 feed 3行
run --usb codepage pc1001
run --net 127.0.0.1 wifi-static 192.168.1.199 255.255.255.0 192.168.0.1
run --net 127.0.0.1 set-mac 0 1a zz FF 7 c0
run scan --seconds 2
run set-address 192.168.0.200 192.168.0.150
run scan --seconds 2
run --net 127.0.0.1 --tcp-port 9 cut

sleep 0.3
echo
echo "== what printer-sim received (decoded; '#' lines are its events)"
grep -v '^printer-sim ready' "$tmp/sim.log"
echo
echo "== the set-ip bytes as they arrived, first over TCP, then over USB"
od -An -tx1 -v -N46 "$tmp/raw.bin"
