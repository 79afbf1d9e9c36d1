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
# A failed test runs once more: under load Wine now and then fails to start a
# process at all (no output, a tenth of a second). The first failure stays in
# the output.
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  "$root/scripts/wine-session.sh" \
  ctest --test-dir "$BUILD_DIR" -j"$(nproc)" --output-on-failure --timeout 300 \
  --repeat until-pass:2 "$@"
