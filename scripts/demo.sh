#!/usr/bin/env bash
# The demo: builds, registers the add-in and the simulated wrapper library in
# the Wine prefix, and runs a scenario (default scenarios/demo.scn) in the
# simulated Outlook, printing what happens.
#   scripts/demo.sh [scenario.scn]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
export WINEPREFIX=${WINEPREFIX:-$BUILD_DIR/wineprefix}
export WINE_KEEPALIVE=$BUILD_DIR/bin/wine_keepalive.exe
scenario=${1:-$root/scenarios/demo.scn}
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  "$root/scripts/wine-session.sh" "$root/scripts/run-scenario.sh" "$scenario"
