#!/usr/bin/env bash
# Builds an optimised tree (${BENCH_BUILD_DIR:-build-bench}, RelWithDebInfo)
# and runs the synchronisation benchmark under Wine. Not a test: it prints
# figures (see the README).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
"$root/scripts/install-deps.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target pass_bench Tallowby simrdo wine_keepalive
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINE_KEEPALIVE=$build/bin/wine_keepalive.exe
cd "$build/bin"
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  "$root/scripts/wine-session.sh" "$root/scripts/wine-run.sh" ./pass_bench.exe
