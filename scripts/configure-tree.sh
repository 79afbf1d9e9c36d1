#!/usr/bin/env bash
# Installs what is missing and configures a build tree once (later calls
# leave a configured tree alone; cmake reconfigures it by itself).
#   scripts/configure-tree.sh BUILD_DIR BUILD_TYPE [CMAKE_ARGUMENTS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1 type=$2
shift 2
"$root/scripts/install-deps.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
fi
