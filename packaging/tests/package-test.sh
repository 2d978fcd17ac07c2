#!/usr/bin/env bash
# The Debian packages as a user's machine gets them: CPack makes them from this
# build; they are unpacked into a throw-away root and every path is checked;
# the unpacked programs run; the launchers pass desktop-file-validate; lintian
# finds no error or warning; dpkg installs and removes them cleanly in a
# throw-away root (maintainer scripts leave the running system alone there).
# WITH_APP 1: the build has the printer application, and the main package its
# service (unit, settings as a conffile, system user made by postinst).
#   package-test.sh BUILD_DIR VERSION [WITH_APP]
set -uo pipefail
build=$1 version=$2 with_app=${3:-0}
work=$(mktemp -d /tmp/package-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
main=$work/out/receipt-printer-tools_${version}_$(dpkg --print-architecture).deb
dev=$work/out/receipt-printer-devtools_${version}_$(dpkg --print-architecture).deb
[ -f "$main" ] && [ -f "$dev" ] || fail "packages missing: $(ls "$work/out")"

# Paths: what each package holds, and nothing outside /usr.
dpkg-deb -c "$main" | awk '{print $6}' | sed 's|^\./||' >"$work/main.list"
dpkg-deb -c "$dev" | awk '{print $6}' | sed 's|^\./||' >"$work/dev.list"
expect() { grep -qx "$2" "$work/$1.list" || fail "$1 package lacks $2"; }
for program in cadmon ferrik lumbra; do
  expect main "usr/bin/$program"
  expect main "usr/share/man/man1/$program.1.gz"
  expect main "usr/share/bash-completion/completions/$program"
  expect main "usr/share/applications/$program.desktop"
  expect main "usr/share/icons/hicolor/scalable/apps/$program.svg"
done
for program in printer-sim lumbra-pack; do
  expect dev "usr/bin/$program"
  expect dev "usr/share/man/man1/$program.1.gz"
  expect dev "usr/share/bash-completion/completions/$program"
  grep -q "$program" "$work/main.list" && fail "$program belongs to the devtools package only"
done
expect main usr/lib/udev/rules.d/70-receipt-printers.rules
expect main usr/share/polkit-1/actions/org.receipt-printer-tools.lumbra.policy
for package in main:receipt-printer-tools dev:receipt-printer-devtools; do
  expect "${package%%:*}" "usr/share/doc/${package#*:}/copyright"
  expect "${package%%:*}" "usr/share/doc/${package#*:}/changelog.gz"
done
app_files=(usr/bin/receipt-printer-app usr/share/man/man1/receipt-printer-app.1.gz
  usr/share/bash-completion/completions/receipt-printer-app usr/lib/systemd/system/receipt-printer-app.service
  usr/lib/sysusers.d/receipt-printer-app.conf etc/default/receipt-printer-app)
if [ "$with_app" = 1 ]; then
  for path in "${app_files[@]}"; do expect main "$path"; done
  # The program links libpappl; dpkg-shlibdeps names it.
  dpkg-deb -f "$main" Depends | grep -qw 'libpappl1' || fail "no Depends libpappl1: $(dpkg-deb -f "$main" Depends)"
else
  grep -q 'receipt-printer-app' "$work/main.list" && fail "printer application files without the program"
fi
# Nothing outside /usr but the service's settings (where its unit reads them).
grep -v '^usr/' "$work/main.list" "$work/dev.list" | grep -v -e ':$' -e ':etc/default/receipt-printer-app$' \
  -e ':etc/default/$' -e ':etc/$' && fail "files outside /usr"
dpkg-deb -f "$main" Recommends | grep -q 'cups' || fail "no Recommends cups"
# The raster driver in lumbra's payload links libcupsimage; dpkg-shlibdeps
# cannot see it there, so the package names it.
dpkg-deb -f "$main" Depends | grep -qw 'libcupsimage2' || fail "no Depends libcupsimage2"
dpkg-deb -f "$main" Recommends | grep -q 'fonts-wqy-zenhei' || fail "no Recommends for a CJK font"
dpkg-deb -e "$main" "$work/control"
[ -x "$work/control/postrm" ] && grep -q 'udevadm control --reload-rules' "$work/control/postrm" || fail "no postrm reloading udev rules"
if [ "$with_app" = 1 ]; then
  # dpkg keeps an administrator's changes to the settings across upgrades.
  grep -qx '/etc/default/receipt-printer-app' "$work/control/conffiles" || fail "the settings are not a conffile"
  [ -x "$work/control/prerm" ] || fail "no prerm stopping the service"
fi

# The unpacked programs: their version, the package lumbra carries (which
# stripping must not remove), the launchers and the polkit action.
root=$work/root
dpkg-deb -x "$main" "$root" && dpkg-deb -x "$dev" "$root" || fail "dpkg-deb -x"
for program in cadmon ferrik lumbra printer-sim lumbra-pack; do
  [ "$("$root/usr/bin/$program" --version)" = "$program $version" ] || fail "$program --version"
done
"$root/usr/bin/lumbra" package-list >"$work/listing" || fail "lumbra package-list: $(cat "$work/listing")"
"$root/usr/bin/lumbra-pack" list "$root/usr/bin/lumbra" | diff -u - "$work/listing" || fail "the package listings differ"
grep -q 'PrinterName.txt$' "$work/listing" || fail "no PrinterName.txt in lumbra's package"
desktop-file-validate "$root"/usr/share/applications/*.desktop || fail "desktop-file-validate"
grep -qx 'Exec=cadmon --from-menu' "$root/usr/share/applications/cadmon.desktop" || fail "cadmon launcher"
grep -qx 'Exec=lumbra --as-root' "$root/usr/share/applications/lumbra.desktop" || fail "lumbra launcher"
# polkit skips an action file that is not well-formed XML (and the launcher
# then cannot start lumbra): the installed policy must parse.
policy=$root/usr/share/polkit-1/actions/org.receipt-printer-tools.lumbra.policy
xmllint --noout "$policy" || fail "the polkit action is not well-formed XML"
grep -q '<annotate key="org.freedesktop.policykit.exec.path">/usr/bin/lumbra</annotate>' \
  "$root/usr/share/polkit-1/actions/org.receipt-printer-tools.lumbra.policy" || fail "polkit action path"

# The lumbra launcher's way in: as an ordinary user, lumbra --as-root runs
# pkexec with lumbra's own full path (the polkit action's) and the rest of the
# command line. A stand-in pkexec records what it was given.
mkdir -p "$work/bin"
printf '#!/bin/sh\necho "$@" >%s/pkexec.args\n' "$work" >"$work/bin/pkexec"
touch "$work/pkexec.args"
chmod 755 "$work" "$work/bin" "$work/bin/pkexec" && chmod 666 "$work/pkexec.args" && chmod -R a+rX "$root"
as_user=()
[ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
"${as_user[@]}" env PATH="$work/bin:$PATH" "$root/usr/bin/lumbra" --as-root models --json || fail "lumbra --as-root"
[ "$(cat "$work/pkexec.args")" = "$root/usr/bin/lumbra models --json" ] || fail "pkexec was given: $(cat "$work/pkexec.args")"

# lintian at its default level: no error, no warning.
lintian --no-cfg --fail-on error,warning "$main" "$dev" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian"; }
grep -E '^[EW]: ' "$work/lintian.log" && fail "lintian"

# Install and remove in a throw-away root.
target=$work/target
mkdir -p "$target/var/lib/dpkg/info" "$target/var/lib/dpkg/updates"
touch "$target/var/lib/dpkg/status"
dpkg_root() {
  local force=--force-script-chrootless,depends
  [ "$(id -u)" = 0 ] || force=$force,not-root
  dpkg --root="$target" --log="$work/dpkg.log" "$force" "$@"
}
dpkg_root -i "$main" "$dev" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg -i"; }
[ -x "$target/usr/bin/cadmon" ] && [ -x "$target/usr/bin/printer-sim" ] || fail "not installed"
# postinst made the service's user in the target's user database (and only
# there), once, also when the package is installed again.
if [ "$with_app" = 1 ]; then
  dpkg_root -i "$main" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg -i again"; }
  [ "$(grep -c '^receipt-printer-app:' "$target/etc/passwd" 2>/dev/null)" = 1 ] \
    || fail "postinst did not make the user once: $(cat "$target/etc/passwd" 2>&1)"
  grep -q '^lp:.*receipt-printer-app' "$target/etc/group" || fail "the user is not in group lp"
fi
dpkg_root -P receipt-printer-tools receipt-printer-devtools >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg -P"; }
# The system user stays (as Debian's do): the user database may remain.
left=$(cd "$target" && find . -mindepth 1 -not -path './var/lib/dpkg*' -not -type d \
  -not -regex '\./etc/\(passwd\|group\|shadow\|gshadow\)-?' -not -path ./etc/.pwd.lock)
[ -z "$left" ] || fail "left after removal: $left"
echo PASS
