#!/usr/bin/env bash
# Without WINEPREFIX, scripts/wine-run.sh runs in $BUILD_DIR/wineprefix (a
# relative BUILD_DIR taken from the current folder), and a WINEPREFIX that is
# set is kept. The Windows side shows which prefix it runs in.
#   wine_prefix_test.sh WINE-RUN.SH
set -u
run=$1
prefix=${WINEPREFIX:-}
if [ "$(basename "$prefix")" != wineprefix ]; then
  echo "the session's prefix is not a build tree's own (WINEPREFIX=$prefix): nothing to compare with"
  exit 77
fi
build=$(dirname "$prefix")
failures=0
expect() {  # expect DESCRIPTION COMMAND...
  local what=$1 shown
  shift
  shown=$("$@" cmd /c echo %WINEPREFIX% </dev/null 2>/dev/null | tr -d '\r')
  if [ "$shown" = "$prefix" ]; then
    echo "ok: $what"
  else
    echo "FAILED: $what: the program ran in \"$shown\", wanted \"$prefix\""
    failures=$((failures + 1))
  fi
}
expect "WINEPREFIX unset, BUILD_DIR absolute" env -u WINEPREFIX BUILD_DIR="$build" "$run"
expect "WINEPREFIX unset, BUILD_DIR relative" \
  bash -c 'cd "$1" && env -u WINEPREFIX BUILD_DIR="$2" "${@:3}"' - "$(dirname "$build")" "$(basename "$build")" "$run"
expect "WINEPREFIX set" env WINEPREFIX="$prefix" BUILD_DIR=/nonexistent "$run"
[ "$failures" -eq 0 ]
