#!/usr/bin/env bash
# The README's main job: scripts/demo.sh ends by naming the PNG of the receipt
# it printed through the installed queue, and that PNG is a receipt as wide as
# the head with ink on it.
#   demo-test.sh BUILD_DIR
set -uo pipefail
build=$1
src=$(cd "$(dirname "$0")/.." && pwd)
export DEMO_DIR=$build/demo-test
# A namespace of its own: the demo uses the printer's fixed ports (9100, 9000, 8999),
# which tests running beside it may hold in the suite's namespace.
out=$(env -u PRIVATE_NETNS BUILD_DIR=$build "$src/scripts/demo.sh" 2>&1); rc=$?
fail() { echo "$out"; echo "FAIL: $*"; exit 1; }
[ $rc -eq 0 ] || fail "demo.sh exit $rc"
last=$(tail -n 1 <<<"$out")
png=${last##*: }
[ "$last" = "The receipt printed through the POS80 queue: $DEMO_DIR/receipts/receipt-0001.png" ] || fail "last line: $last"
[ -s "$png" ] || fail "no PNG at $png"
grep -q '^receipt 1: 576 x [0-9]* dots, partial cut$' <<<"$out" || fail "no receipt line"
echo PASS
