#!/usr/bin/env bash
# Sets up, builds and runs every test suite: the plain build, then the
# AddressSanitizer+UndefinedBehaviorSanitizer build, then the ThreadSanitizer
# build (threaded tests), then each fuzz target for a bounded time.
# Every test runs inside a private network namespace (scripts/in-netns).
# QUICK=1 runs only the plain build.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
"$src/scripts/setup-debian.sh"
run() { echo "== $*"; "$@"; }
passed=0
failed=0
# Runs one build's tests in the private namespace and adds up the counts.
ctest_in() {
  local log
  log=$(mktemp)
  local rc=0
  "$src/scripts/in-netns" ctest --test-dir "$1" --output-on-failure -j2 "${@:2}" 2>&1 | tee "$log" || rc=$?
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1 || true)
  rm -f "$log"
  if [ -n "$line" ]; then
    local f t
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
  fi
  if [ "$rc" -ne 0 ]; then echo "tests: $passed passed, $failed failed"; exit "$rc"; fi
}

run "$src/scripts/build.sh" "$src/build"
ctest_in "$src/build"
if [ "${QUICK:-0}" = 1 ]; then echo "tests: $passed passed, $failed failed"; exit 0; fi

run "$src/scripts/build.sh" "$src/build-asan" -DSANITIZE=address -DWITH_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest_in "$src/build-asan"

run "$src/scripts/build.sh" "$src/build-tsan" -DSANITIZE=thread -DWITH_BENCH=OFF -DWITH_GUI=OFF
TSAN_OPTIONS=halt_on_error=1 ctest_in "$src/build-tsan" -L threaded

if [ -d "$src/fuzz" ] && [ -f "$src/fuzz/CMakeLists.txt" ]; then
  CC=clang CXX=clang++ run "$src/scripts/build.sh" "$src/build-fuzz" -DWITH_FUZZ=ON -DWITH_GUI=OFF -DWITH_BENCH=OFF
  "$src/scripts/run-fuzzers.sh" "$src/build-fuzz" "${FUZZ_SECONDS:-60}"
fi

echo "tests: $passed passed, $failed failed"
