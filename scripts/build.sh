#!/usr/bin/env bash
# scripts/build.sh [BUILD_DIR] [extra cmake options...]
# Configures and builds the project (Ninja, RelWithDebInfo by default).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$src/build}; shift || true
cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
