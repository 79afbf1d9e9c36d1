#!/usr/bin/env bash
# Builds an optimised tree (${BENCH_BUILD_DIR:-build-bench}, RelWithDebInfo)
# and runs every benchmark under Wine in one session. Not a test: it prints
# figures (see the README's Benchmark section).
#   BENCH_REPEAT=n  how often each figure is measured (the minimum is shown)
#   BENCH_QUICK=1   leaves out the largest folders (100,000 items)
#   BENCH_SIZES=1000,10000   the folder sizes instead
#   BENCH_BUDGET=s  time after which a size is not repeated (default 150)
#   BENCH_MAX_RUN=s longest projected run of a size above 10,000 (default 240)
#   scripts/bench.sh pass_bench ...   runs only the programs named
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
if [ "${1:-}" = --run ]; then
  # Inside the Wine session: the machine, then every program in turn.
  shift
  echo "Tallowby benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
  echo "machine: $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) cores," \
       "$(/usr/lib/wine/wine64 --version 2>/dev/null || echo 'wine ?'), RelWithDebInfo (mingw-w64 gcc)"
  echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
  cd "$build/bin"
  for p in "$@"; do
    "$root/scripts/wine-run.sh" "./$p.exe" </dev/null
  done
  echo
  echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
  exit 0
fi
programs=("$@")
if [ ${#programs[@]} -eq 0 ]; then
  programs=(pass_bench exchange_bench gal_bench outlook_thread_bench log_viewer_bench)
fi
"$root/scripts/install-deps.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target "${programs[@]}" Tallowby simrdo wine_keepalive
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINE_KEEPALIVE=$build/bin/wine_keepalive.exe

exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  "$root/scripts/wine-session.sh" "$root/scripts/bench.sh" --run "${programs[@]}"
