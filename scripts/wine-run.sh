#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's fixed settings.
# ctest puts this in front of every test command.
: "${WINEPREFIX:=${XDG_CACHE_HOME:-$HOME/.cache}/tallowby-wineprefix}"
export WINEPREFIX WINEARCH=win64 WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
# A fixed locale keeps Wine's UI language and formats the same everywhere
# (set through env so that bash does not warn when the locale isn't built).
exec env LC_ALL="${WINE_LC_ALL:-en_US.UTF-8}" /usr/lib/wine/wine64 "$@"
