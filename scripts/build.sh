#!/usr/bin/env bash
# Configures and builds into build/ (binaries in build/bin/).
# Usage: scripts/build.sh [Release|Debug|RelWithDebInfo] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
type=${1:-Release}
shift || true
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="$type" -DBRICOLA_WERROR=ON "$@" >/dev/null
cmake --build build -j"$(nproc)"
