#!/usr/bin/env bash
# The main job, end to end, as a user meets it:
#   1. printer-sim plays a receipt printer on TCP port 9100 and draws every
#      receipt it prints as a PNG;
#   2. a private cupsd (scripts/private-cupsd.sh) stands in for the system's;
#   3. `lumbra install` installs the POS80 driver and a queue for that printer;
#   4. `lp` prints a PDF receipt on the queue;
#   5. cadmon changes the printer's settings over TCP, the fake USB printer and
#      UDP discovery;
# and at the end it names the PNG of the receipt that came out of the queue.
#
#   scripts/build.sh && scripts/in-netns scripts/demo.sh      (BUILD_DIR=... for another build)
#
# What it leaves is in DEMO_DIR (default BUILD_DIR/demo, emptied first): the
# receipts, printer-sim's log, the install log and the private CUPS tree.
# It always runs inside a private network namespace (it re-enters itself
# through scripts/in-netns): nothing it sends can leave this machine.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
if [ "${PRIVATE_NETNS:-}" != 1 ]; then exec "$src/scripts/in-netns" "$0" "$@"; fi

build=${BUILD_DIR:-$src/build}
cadmon_bin=$build/settings-tool/cadmon
lumbra_bin=$build/installer/lumbra/lumbra
sim_bin=$build/sim/printer-sim
for program in "$cadmon_bin" "$lumbra_bin" "$sim_bin"; do
  [ -x "$program" ] || { echo "demo: $program is missing; run scripts/build.sh first" >&2; exit 1; }
done
for tool in cupsd lp lpstat ps2pdf; do
  command -v "$tool" >/dev/null || { echo "demo: $tool is missing; run scripts/setup-debian.sh first" >&2; exit 1; }
done

demo=${DEMO_DIR:-$build/demo}
cups=$demo/cups
rm -rf "$demo"
mkdir -p "$demo"
demo=$(cd "$demo" && pwd); cups=$demo/cups
sim_pid=
cleanup() {
  "$src/scripts/private-cupsd.sh" stop "$cups" >/dev/null 2>&1 || true
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Plain text in the printer's code page for every locale of this demo.
export LC_ALL=C.UTF-8
export USB_PRINTER_ROOT=$demo/usb

step() { echo; echo "== $*"; }
show() { printf '$'; printf ' %q' "$@"; echo; }
# Waits up to $1 tenths of a second for a line matching $2 in printer-sim's log.
wait_sim() {
  for _ in $(seq "$1"); do
    grep -q -- "$2" "$demo/sim.log" 2>/dev/null && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q -- "$2" "$demo/sim.log" 2>/dev/null
}

step "1. printer-sim: a receipt printer on 127.0.0.1:9100, receipts drawn in $demo/receipts"
"$sim_bin" --quiet-probes --tcp-port 9100 --receipts "$demo/receipts" \
  --printer mac=00:1a:0b:ff:07:c0,ip=192.168.0.199,id=1.0 \
  --printer mac=00:11:22:33:44:55,ip=192.168.0.200,id=1.9c \
  --usb "$USB_PRINTER_ROOT" \
  --raw "$demo/raw.bin" >"$demo/sim.log" 2>&1 &
sim_pid=$!
wait_sim 100 '^printer-sim ready' || { echo "demo: printer-sim did not start" >&2; cat "$demo/sim.log" >&2; exit 1; }
head -n 1 "$demo/sim.log"

step "2. a private cupsd on a unix socket, its tree in $cups"
"$src/scripts/private-cupsd.sh" start "$cups" --env "USB_PRINTER_ROOT=$USB_PRINTER_ROOT"
export CUPS_SERVER=$cups/cups.sock LUMBRA_ROOT=$cups HOME=/home/demo
unset XDG_DATA_HOME XDG_DOCUMENTS_DIR

step "3. lumbra installs the POS80 driver and a queue for the printer at 127.0.0.1:9100"
show lumbra install --model POS80 --name POS80 --port net:127.0.0.1:9100
"$lumbra_bin" install --model POS80 --name POS80 --port net:127.0.0.1:9100
lpstat -p POS80
lpstat -v POS80

step "4. lp prints a PDF receipt (80 x 110 mm, made here with ps2pdf)"
cat >"$demo/receipt.ps" <<'PS'
%!PS
<< /PageSize [226.77 311.81] >> setpagedevice
/center { /s exch def /y exch def 226.77 s stringwidth pop sub 2 div y moveto s show } def
/row { /price exch def /item exch def /y exch def
       14 y moveto item show 212 price stringwidth pop sub y moveto price show } def
/Helvetica-Bold findfont 18 scalefont setfont 284 (CORNER CAFE) center
/Helvetica findfont 9 scalefont setfont 268 (12 Market Street) center
/Helvetica findfont 11 scalefont setfont
236 (Flat white) (3.20) row
220 (Croissant) (2.40) row
204 (Orange juice) (2.90) row
14 192 moveto 198 0 rlineto 1 setlinewidth stroke
/Helvetica-Bold findfont 13 scalefont setfont
172 (TOTAL) (8.50) row
/Helvetica findfont 9 scalefont setfont 148 (Thank you!) center
% a row of bars, as a code on the receipt would look
0 1 36 { /i exch def i 3 mod 1 add setlinewidth 40 i 4 mul add 70 moveto 0 50 rlineto stroke } for
showpage
PS
ps2pdf "$demo/receipt.ps" "$demo/receipt.pdf"
show lp -d POS80 "$demo/receipt.pdf"
lp -d POS80 "$demo/receipt.pdf"
wait_sim 600 '^receipt 1:' || {
  echo "demo: no receipt came out of the queue in 60 s" >&2
  lpstat -l -o POS80 >&2 || true; tail -n 30 "$cups/var/log/cups/error_log" >&2 || true; exit 1
}
grep '^receipt 1:' "$demo/sim.log"

step "5. cadmon changes the printer's settings"
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
run --usb cut
run --net 127.0.0.1 feed 3
run --net 127.0.0.1 set-mac 0 1a zz FF 7 c0
run scan --seconds 2
run set-address 192.168.0.200 192.168.0.150
run scan --seconds 2
run --net 127.0.0.1 --tcp-port 9 cut

sleep 0.3
step "what printer-sim received after the receipt (decoded; '#' lines are its events)"
sed -n '/^receipt 1:/,$p' "$demo/sim.log" | tail -n +2 | grep -v -E '^# tcp [0-9]+ (opened|closed)'

echo
echo "The receipt printed through the POS80 queue: $demo/receipts/receipt-0001.png"
