#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
scripts/build.sh Release
build/bin/bricola -?
