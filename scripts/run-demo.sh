#!/usr/bin/env bash
# Installs what is missing, builds, and runs the station's main job on its
# built-in simulated disks.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
exec build/kvx-mp produce --sim 8 "$@"
