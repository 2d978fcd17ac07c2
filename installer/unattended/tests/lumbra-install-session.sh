#!/usr/bin/env bash
# `lumbra install` end to end against a private cupsd: the network install of
# POS80 becomes the default queue with its records and unit file; a second
# install of the same name cannot ask for a port and fails clearly; given the
# existing monitor port it succeeds as "POS80 (1)" and becomes the default;
# `lumbra uninstall` and the installed Uninstaller.exe remove them again; with
# cupsd stopped an install fails saying the print system is not reachable.
# A failed install exits 6, a value that cannot be used 2, and leaves nothing
# it made; after the last uninstall no folder of ours stays. As root, a
# Documents folder that is another user's link is refused, said so, and the
# configuration read straight from the package.
#   lumbra-install-session.sh LUMBRA PRIVATE_CUPSD_SCRIPT
set -uo pipefail
lumbra=$1; cupsd_script=$2
tree=$(mktemp -d /tmp/lumbra-session.XXXXXX)
fail() { echo "FAIL: $*"; "$cupsd_script" stop "$tree" >/dev/null; exit 1; }
"$cupsd_script" start "$tree" >/dev/null || fail "private cupsd did not start"
export CUPS_SERVER=$tree/cups.sock LUMBRA_ROOT=$tree HOME=/home/installer
unset XDG_DATA_HOME XDG_DOCUMENTS_DIR
# What installs write, with sizes and contents' sums (the log and cupsd's own files left out).
files() { (cd "$tree" && find usr opt home var/lib/lumbra etc/systemd -printf '%p %s\n' 2>/dev/null |
           sort; find usr opt home -type f -exec md5sum {} + 2>/dev/null | sort); }
if [ "$(id -u)" -eq 0 ]; then
  mkdir -p "$tree/home/installer" "$tree/elsewhere"
  chown 65534 "$tree/home/installer" "$tree/elsewhere"
  ln -s "$tree/elsewhere" "$tree/home/installer/Documents"
fi

out=$("$lumbra" install --model NOPE --port usb 2>&1); rc=$?
[ $rc -eq 2 ] || fail "unknown model exit $rc: $out"
grep -Eq 'no such model in PrinterName.txt \(models: POS80[,)].*: NOPE' <<<"$out" || fail "no list of models: $out"
out=$("$lumbra" install --model POS80 --name POS80 --port net:127.0.0.1:9100 2>&1) || fail "install: $out"
grep -q 'Setup Complete' <<<"$out" || fail "no success page text: $out"
if [ "$(id -u)" -eq 0 ]; then
  grep -q "Documents: a link or not a folder, not followed); reading them straight from the package" <<<"$out" ||
    fail "no word about the refused Documents link: $out"
  [ -z "$(ls -A "$tree/elsewhere")" ] || fail "files written through the Documents link"
fi
lpstat -d | grep -qx 'system default destination: POS80' || fail "default: $(lpstat -d)"
lpstat -p POS80 | grep -q 'is idle' || fail "state: $(lpstat -p POS80)"
# Pictures print upright along the roll unless a job asks otherwise.
lpoptions -p POS80 | tr ' ' '\n' | grep -qx 'orientation-requested=3' || fail "orientation: $(lpoptions -p POS80)"
lpstat -v POS80 | grep -q 'pos-usb-printer-monitor://127.0.0.1:9100/POS80-Port' || fail "uri: $(lpstat -v)"
[ -f "$tree/etc/systemd/system/MavoPrinter-Service.service" ] || fail "no unit file"
grep -q '^PortName=POS80-Port:$' "$tree/var/lib/lumbra/store/SOFTWARE/POS80/values" || fail "no product key"
ls "$tree/home/installer/.local/share/applications/POS80 Driver/"*.desktop >/dev/null || fail "no launcher"

# A second install that cannot ask for a port fails after copying the
# driver's files over the first's: it takes away only what it made.
before=$(files)
out=$("$lumbra" install --model POS80 --port net:127.0.0.1:9100 2>&1); rc=$?
[ $rc -eq 6 ] || fail "second install exit $rc: $out"
grep -q 'run again with --port set to one of: .*POS80-Port:' <<<"$out" || fail "no port advice: $out"
grep -q 'Setup Failed' <<<"$out" || fail "no failure page text: $out"
grep -q "See $tree/var/log/InstallPrinter.txt for details" <<<"$out" || fail "the failed page names another log: $out"
diff <(echo "$before") <(files) >/dev/null || fail "the failed install changed files: $(diff <(echo "$before") <(files))"

out=$("$lumbra" install --model POS80 --port POS80-Port: 2>&1) || fail "third install: $out"
lpstat -d | grep -qx 'system default destination: POS80_(1)' || fail "default after second: $(lpstat -d)"
lpstat -l -p 'POS80_(1)' | grep -q 'Description: POS80 (1)' || fail "description: $(lpstat -l -p 'POS80_(1)')"

# Uninstall: an unknown name; the Uninstaller of the folder both installs
# share lists them when it cannot ask; then one by one, the last with the
# monitor backend, the unit, the launcher and the program folder.
out=$("$lumbra" uninstall NOPE 2>&1); rc=$?
[ $rc -eq 4 ] || fail "uninstall of an unknown name exit $rc: $out"
grep -q '"NOPE" is not installed (installed: "POS80", "POS80 (1)")' <<<"$out" || fail "unknown name: $out"
folder=$(sed -n 's/^Program Directory=//p' "$tree/var/lib/lumbra/store/SOFTWARE/POS80/values")
out=$("$folder/Uninstaller.exe" --help 2>&1) || fail "Uninstaller.exe --help: $out"
grep -q 'Usage: Uninstaller.exe' <<<"$out" || fail "no help: $out"
out=$("$folder/Uninstaller.exe" </dev/null 2>&1); rc=$?
[ $rc -eq 2 ] || fail "Uninstaller.exe without a name exit $rc: $out"
grep -q '2) POS80 (1) (queue POS80_(1))' <<<"$out" || fail "no list of the folder's installs: $out"
out=$("$folder/Uninstaller.exe" POS80 </dev/null 2>&1) || fail "Uninstaller.exe POS80: $out"
grep -q 'removed  printer queue "POS80"' <<<"$out" || fail "first uninstall: $out"
lpstat -v POS80 >/dev/null 2>&1 && fail "queue POS80 stays"
lpstat -v 'POS80_(1)' | grep -q 'pos-usb-printer-monitor:' || fail "second queue: $(lpstat -v)"
out=$("$lumbra" uninstall 'POS80 (1)' 2>&1) || fail "second uninstall: $out"
grep -q 'removed  port monitor "POS USB Printer Monitor"' <<<"$out" || fail "monitor not removed: $out"
for gone in usr/lib/cups/backend/pos-usb-printer-monitor etc/systemd/system/MavoPrinter-Service.service \
            "home/installer/.local/share/applications/POS80 Driver" usr/share/cups/model/lumbra/POS80_Driver.ppd; do
  [ -e "$tree/$gone" ] && fail "$gone stays: $out"
done
[ -e "$folder" ] && fail "program folder stays: $(ls -la "$folder")"
for gone in usr/lib/lumbra usr/share/cups/model/lumbra "opt/USB Printer"; do
  [ -e "$tree/$gone" ] && fail "empty folder $gone stays: $(find "$tree/$gone")"
done
queues=$(lpstat -v 2>&1); grep -q 'No destinations' <<<"$queues" || fail "queues left: $queues"

"$cupsd_script" stop "$tree" >/dev/null

before=$(files)
out=$("$lumbra" install --model POS80 --name Later --port net:127.0.0.1:9100 2>&1); rc=$?
[ $rc -eq 6 ] || fail "install without cupsd exit $rc: $out"
grep -q 'Setup Failed' <<<"$out" || fail "no failure page text: $out"
grep -q "the print system (CUPS) is not reachable.*details in $tree/var/log/InstallPrinter.txt" <<<"$out" ||
  fail "no reason: $out"
[ "$before" = "$(files)" ] || fail "files written without cupsd: $(diff <(echo "$before") <(files))"
rm -rf "$tree"
echo PASS
