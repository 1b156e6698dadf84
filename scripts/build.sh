#!/usr/bin/env bash
# Configures and builds into build/ (binaries in build/bin/).
# Usage: scripts/build.sh [Release|Debug|RelWithDebInfo] [extra cmake args...]
# BRICOLA_BUILD_DIR names another build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
type=${1:-Release}
shift || true
dir=${BRICOLA_BUILD_DIR:-build}
launcher=()
if command -v ccache >/dev/null 2>&1; then
  # Paths below the source root are hashed relative to it, so several checkouts
  # share the cache.
  export CCACHE_BASEDIR="$PWD"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DBRICOLA_WERROR=ON "${launcher[@]}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
