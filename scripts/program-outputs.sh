#!/bin/bash
# Prints what every program says without a printer: help at every level,
# versions, the failures of bad command lines and of absent printers, and the
# files the build generates. Run it on two builds and diff the outputs to
# show that a change kept every text and byte (run inside scripts/in-netns;
# nothing here reaches a printer: USB looks at an empty tree, TCP at a closed
# loopback port, discovery at loopback).
#
#   scripts/in-netns scripts/program-outputs.sh build > after.txt
set -u
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/usb"
export USB_PRINTER_ROOT="$work/usb" PRINTER_TCP_PORT=9 PRINTER_BROADCAST_ADDR=127.0.0.1 \
       PRINTER_PROBE_PORT=9 PRINTER_REPLY_PORT=0 LUMBRA_ROOT="$work/root" LANG=C.UTF-8 LC_ALL=C.UTF-8 \
       HOME="$work" XDG_CONFIG_HOME="$work/config"

run() {  # run LABEL COMMAND...: the command's stdout, stderr and exit status
    local out err rc
    out=$(cd "$work" && timeout 20 "$@" 2>"$work/stderr" </dev/null); rc=$?
    err=$(sed "s|$work|WORK|g; s|$build|BUILD|g" "$work/stderr")
    printf '=== %s\n%s\n--- stderr\n%s\n--- exit %d\n' "$(sed "s|$work|WORK|g; s|$build|BUILD|g" <<<"$*")" "$(sed "s|$work|WORK|g; s|$build|BUILD|g" <<<"$out")" "$err" "$rc"
}

cadmon=$build/settings-tool/cadmon
ferrik=$build/update-tool/gui/ferrik
lumbra=$build/installer/lumbra/lumbra
for program in "$cadmon" "$ferrik" "$lumbra" "$build/installer/tools/lumbra-pack" \
               "$build/driver/backend/receiptmonitor" "$build/driver/service/receiptservice" \
               "$build/driver/uninstaller/lumbra-uninstaller" "$build/sim/printer-sim"; do
    run "$program" --help
    run "$program" --version
    run "$program" --no-such-option
    # Every subcommand's help, as the top-level help lists them.
    for sub in $("$program" --help 2>/dev/null | awk '/^Subcommands:/{on=1; next} on && /^  [a-z]/{print $1} on && /^$/{on=0}'); do
        [ "$sub" = help ] && continue
        run "$program" help "$sub"
        run "$program" "$sub" --help
    done
done
# Failures without a printer: no USB printer, a closed TCP port, bad values.
for args in "print" "cut" "drawer" "status" "dhcp on" "dhcp maybe" "set-ip 1.2.3" "set-mac 00 11" \
            "buzzer 99" "feed x" "--net 127.0.0.1 print" "--net 127.0.0.1 --tcp-port 9 cut" \
            "--net 0.0.0.0 cut" "--lpt print" "no-such-subcommand"; do
    # shellcheck disable=SC2086
    run "$cadmon" $args
done
for args in "flash" "flash $work/none.bin" "dark 7" "x-usb" "connect-test 127.0.0.1" "set-network"; do
    # shellcheck disable=SC2086
    run "$ferrik" $args
done
for args in "models" "package-list" "install" "install --model NONE --name X" "uninstall NONE"; do
    # shellcheck disable=SC2086
    run "$lumbra" $args
done
run "$build/driver/backend/receiptmonitor"
run "$build/driver/raster/rastertoreceipt"
# Generated files, byte for byte.
find "$build" -path '*/generated/*' -type f -o -name '*.ppd' -type f -o -name '*.1' -type f \
     -o -name '*.desktop' -type f -o -name '*.policy' -type f -o -name '*.rules' -type f |
    grep -v -e '/demo/' -e '/demo-test/' -e '/Testing/' -e 'CMakeFiles' | sort | while read -r f; do
    printf '=== file %s %s\n' "${f#"$build"/}" "$(sha256sum <"$f" | cut -c1-16)"
done
