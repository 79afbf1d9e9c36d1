#!/usr/bin/env bash
# Builds the two deliverables as a user installs them: Tallowby.dll and
# Tallowlog.exe, optimised (Release), with the C and C++ runtimes linked in
# (they import only Windows' own DLLs), stripped of debug information and
# without the test seams. Into ${SHIP_BUILD_DIR:-build-ship}/bin; nothing
# else is built there. SHIP_JOBS limits the parallel compiles.
#   scripts/ship.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SHIP_BUILD_DIR:-$root/build-ship}
"$root/scripts/configure-tree.sh" "$build" Release -DTALLOWBY_SHIPPING=ON
cmake --build "$build" -j"${SHIP_JOBS:-$(nproc)}" --target Tallowby Tallowlog
echo "Deliverables:"
echo "  $build/bin/Tallowby.dll"
echo "  $build/bin/Tallowlog.exe"
