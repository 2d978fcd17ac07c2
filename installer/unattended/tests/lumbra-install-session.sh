#!/usr/bin/env bash
# `lumbra install` end to end against a private cupsd: the network install of
# POS80 becomes the default queue with its records and unit file; a second
# install of the same name cannot ask for a port and fails clearly; given the
# existing monitor port it succeeds as "POS80 (1)" and becomes the default;
# with cupsd stopped an install fails saying the print system is not reachable.
# A failed install exits 6, a value that cannot be used 2.
#   lumbra-install-session.sh LUMBRA PRIVATE_CUPSD_SCRIPT
set -uo pipefail
lumbra=$1; cupsd_script=$2
tree=$(mktemp -d /tmp/lumbra-session.XXXXXX)
fail() { echo "FAIL: $*"; "$cupsd_script" stop "$tree" >/dev/null; exit 1; }
"$cupsd_script" start "$tree" >/dev/null || fail "private cupsd did not start"
export CUPS_SERVER=$tree/cups.sock LUMBRA_ROOT=$tree HOME=/home/installer
unset XDG_DATA_HOME XDG_DOCUMENTS_DIR

out=$("$lumbra" install --model POS80 --name POS80 --port net:127.0.0.1:9100 2>&1) || fail "install: $out"
grep -q 'Setup Complete' <<<"$out" || fail "no success page text: $out"
lpstat -d | grep -qx 'system default destination: POS80' || fail "default: $(lpstat -d)"
lpstat -p POS80 | grep -q 'is idle' || fail "state: $(lpstat -p POS80)"
lpstat -v POS80 | grep -q 'pos-usb-printer-monitor://127.0.0.1:9100/POS80-Port' || fail "uri: $(lpstat -v)"
[ -f "$tree/etc/systemd/system/MavoPrinter-Service.service" ] || fail "no unit file"
grep -q '^PortName=POS80-Port:$' "$tree/var/lib/lumbra/store/SOFTWARE/POS80/values" || fail "no product key"
ls "$tree/home/installer/.local/share/applications/POS80 Driver/"*.desktop >/dev/null || fail "no launcher"

out=$("$lumbra" install --model POS80 --port net:127.0.0.1:9100 2>&1); rc=$?
[ $rc -eq 6 ] || fail "second install exit $rc: $out"
grep -q 'run again with --port set to one of: .*POS80-Port:' <<<"$out" || fail "no port advice: $out"
grep -q 'Setup Failed' <<<"$out" || fail "no failure page text: $out"

out=$("$lumbra" install --model POS80 --port POS80-Port: 2>&1) || fail "third install: $out"
lpstat -d | grep -qx 'system default destination: POS80_(1)' || fail "default after second: $(lpstat -d)"
lpstat -l -p 'POS80_(1)' | grep -q 'Description: POS80 (1)' || fail "description: $(lpstat -l -p 'POS80_(1)')"

"$lumbra" install --model NOPE --port usb >/dev/null 2>&1; [ $? -eq 2 ] || fail "unknown model must exit 2"
"$cupsd_script" stop "$tree" >/dev/null

out=$("$lumbra" install --model POS80 --name Later --port net:127.0.0.1:9100 2>&1); rc=$?
[ $rc -eq 6 ] || fail "install without cupsd exit $rc: $out"
grep -q 'Setup Failed' <<<"$out" || fail "no failure page text: $out"
grep -q 'the print system (CUPS) is not reachable' <<<"$out" || fail "no reason: $out"
rm -rf "$tree"
echo PASS
