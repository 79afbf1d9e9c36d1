#!/usr/bin/env bash
# Installs what is missing, then configures and builds into ${BUILD_DIR:-build}.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -j"$(nproc)"
