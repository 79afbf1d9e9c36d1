#!/usr/bin/env bash
# The test command: installs, builds, then runs every test under Wine inside
# one Xvfb display and one warm Wine session. Extra arguments go to ctest
# (for example -R Scenario).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
export WINEPREFIX=${WINEPREFIX:-$BUILD_DIR/wineprefix}
export WINE_KEEPALIVE=$BUILD_DIR/bin/wine_keepalive.exe
# Only a test that failed the way Wine fails to start a process runs once
# more (scripts/run-tests.sh); every other failure stands.
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  "$root/scripts/wine-session.sh" "$root/scripts/run-tests.sh" "$@"
