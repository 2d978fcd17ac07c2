#!/usr/bin/env bash
# scripts/run-fuzzers.sh BUILD_DIR [SECONDS]
# Runs every libFuzzer target of a -DWITH_FUZZ=ON build for SECONDS each
# (default 60), starting from fuzz/corpus/<target>/. New inputs go to
# BUILD_DIR/fuzz-corpus/<target>/, so the seed corpus in the repository stays
# small. Runs inside a private network namespace. Exits non-zero when any
# target finds a crash (the reproducer is left in BUILD_DIR/fuzz-artifacts/).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
if [ "${PRIVATE_NETNS:-}" != 1 ]; then exec "$src/scripts/in-netns" "$0" "$@"; fi
build=$(cd "${1:?usage: run-fuzzers.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-60}
failed=()
shopt -s nullglob
targets=("$build"/fuzz/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then echo "no fuzz targets in $build/fuzz"; exit 1; fi
for exe in "${targets[@]}"; do
  [ -x "$exe" ] && [ -f "$exe" ] || continue
  name=$(basename "$exe")
  work="$build/fuzz-corpus/$name"
  artifacts="$build/fuzz-artifacts/$name/"
  mkdir -p "$work" "$artifacts"
  seeds=()
  [ -d "$src/fuzz/corpus/$name" ] && seeds=("$src/fuzz/corpus/$name")
  echo "== $name for ${seconds}s"
  if ! "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts" "$work" "${seeds[@]}" >"$build/fuzz-artifacts/$name.log" 2>&1; then
    echo "!! $name failed; see $build/fuzz-artifacts/$name.log"
    tail -40 "$build/fuzz-artifacts/$name.log"
    failed+=("$name")
  else
    grep -E 'stat::number_of_executed_units|cov:' "$build/fuzz-artifacts/$name.log" | tail -2
  fi
done
if [ ${#failed[@]} -gt 0 ]; then echo "failed: ${failed[*]}"; exit 1; fi
echo "all fuzz targets ran clean"
