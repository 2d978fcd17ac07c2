#!/usr/bin/env bash
# lumbra lists its embedded package as lumbra-pack lists the package file;
# an executable without the section falls back to an appended archive; the
# section can be replaced with objcopy (re-branding).
set -euo pipefail
lumbra=$1 pack=$2 payload=$3 objcopy=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$lumbra" package-list >"$work/embedded.txt"
"$pack" list "$payload" >"$work/file.txt"
"$pack" list "$lumbra" >"$work/section.txt"
diff -u "$work/file.txt" "$work/embedded.txt"
diff -u "$work/file.txt" "$work/section.txt"
grep -q '^25 of 25 entries$' "$work/embedded.txt"
grep -q '  PrinterName.txt$' "$work/embedded.txt"
# A file that is no package is said to be none (exit 4), not listed as "0 of N entries".
rc=0; "$pack" list /etc/passwd >"$work/passwd.txt" 2>&1 || rc=$?
[ "$rc" -eq 4 ] && grep -q 'is not a package' "$work/passwd.txt" || { cat "$work/passwd.txt"; exit 1; }

# No section: the appended archive is found instead.
"$objcopy" --remove-section .lumbra_package "$lumbra" "$work/bare"
if "$work/bare" package-list >/dev/null 2>&1; then echo "bare executable listed a package"; exit 1; fi
"$pack" append "$work/bare" "$payload" "$work/appended"
chmod +x "$work/appended"
"$work/appended" package-list >"$work/appended.txt"
diff -u "$work/file.txt" "$work/appended.txt"
"$pack" list --appended "$work/appended" >"$work/appended-tool.txt"
diff -u "$work/file.txt" "$work/appended-tool.txt"

# Re-branding: replace the section without a compiler.
mkdir "$work/brand"
printf 'brand\n' >"$work/brand/Text.ini"
printf 'logo\n' >"$work/brand/logo.bmp"
"$pack" create "$work/brand" "$work/brand.pkg"
cp "$lumbra" "$work/rebranded"
"$objcopy" --update-section .lumbra_package="$work/brand.pkg" "$work/rebranded"
"$work/rebranded" package-list >"$work/rebranded.txt"
"$pack" list "$work/brand.pkg" | diff -u - "$work/rebranded.txt"
grep -q '^2 of 2 entries$' "$work/rebranded.txt"
echo OK
