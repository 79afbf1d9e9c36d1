#!/usr/bin/env bash
# Shrinks a failing campaign seed (or scenario file) to the shortest scenario
# that still fails the same way, and writes it beside the seed's files:
#   scripts/campaign-shrink.sh SEED|FILE [-j N]
# Runs in a Wine prefix of its own ($BUILD_DIR/campaign/shrink-prefix).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" >/dev/null
export WINEPREFIX=${CAMPAIGN_WINEPREFIX:-$BUILD_DIR/campaign/shrink-prefix}
export WINE_KEEPALIVE=$BUILD_DIR/bin/wine_keepalive.exe
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  "$root/scripts/wine-session.sh" python3 "$root/tests/campaign/campaign.py" shrink "$@"
