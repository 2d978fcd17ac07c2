#!/usr/bin/env bash
# scripts/build.sh [BUILD_DIR] [extra cmake options...]
# Configures and builds the project (Ninja, RelWithDebInfo by default).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$src/build}; shift || true
# ccache, when present, keeps rebuilds of other build folders and worktrees
# short; paths are hashed relative to the source tree so they share hits.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$src" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
