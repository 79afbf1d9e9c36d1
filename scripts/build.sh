#!/usr/bin/env bash
# Installs what is missing, then configures and builds into ${BUILD_DIR:-build}:
# the build the tests use (Debug, with the test seams).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/configure-tree.sh" "$build" Debug
cmake --build "$build" -j"$(nproc)"
