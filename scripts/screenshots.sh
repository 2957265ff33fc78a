#!/usr/bin/env bash
# Screenshots of the desktop station under Xvfb during a 16-port production
# on the simulator (the runtime, production sequence and window of
# `kvx-station --sim 16`): once in English and once with LANG=zh_CN.UTF-8.
#   scripts/screenshots.sh [OUTDIR]      (default: build/screenshots)
# Each run saves <lang>-production.png (jobs running; one disk is pulled
# mid-job and one port stopped), <lang>-finished.png and
# <lang>-settings-<page>.png, one for each settings page (TabSheet1, ...,
# Debug, BadView, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/screenshots}"
shots=build/tests/ui/kvx-station-shots
if [[ ! -x "$shots" ]]; then
  cmake -S . -B build -G Ninja -DKVX_WERROR=ON >/dev/null
  ninja -C build -j2 kvx-station-shots
fi
command -v xvfb-run >/dev/null || { echo "screenshots.sh: xvfb-run is missing (apt-get install xvfb xauth)" >&2; exit 1; }
mkdir -p "$out"
run() {
  local lang="$1" prefix="$2"
  LANG="$lang" LC_ALL= LC_MESSAGES= QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1024x768x24" "$shots" --ports 16 --shots "$out" --prefix "$prefix"
}
run C.UTF-8 en
run zh_CN.UTF-8 zh_CN
ls -l "$out"/*.png
