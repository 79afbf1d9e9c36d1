#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's fixed settings.
# ctest puts this in front of every test command.
: "${WINEPREFIX:=${XDG_CACHE_HOME:-$HOME/.cache}/tallowby-wineprefix}"
export WINEPREFIX WINEARCH=win64 WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
export LC_ALL="${WINE_LC_ALL:-en_US.UTF-8}"
exec /usr/lib/wine/wine64 "$@"
