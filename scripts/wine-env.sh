# Sourced by the Wine scripts: the project's fixed Wine settings.
# Without WINEPREFIX the prefix is the build tree's own ($BUILD_DIR/wineprefix,
# BUILD_DIR defaulting to build/), never one shared by every checkout: two
# runs in one prefix end each other's processes, which then exit 0.
wine_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -z "${WINEPREFIX:-}" ]; then
  wine_build=${BUILD_DIR:-$wine_root/build}
  case $wine_build in /*) ;; *) wine_build=$PWD/$wine_build ;; esac
  WINEPREFIX=$wine_build/wineprefix
fi
export WINEPREFIX WINEARCH=win64 WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
# A fixed locale keeps Wine's UI language and formats the same everywhere
# (set through env so that bash does not warn when the locale isn't built).
wine_loader="env LC_ALL=${WINE_LC_ALL:-en_US.UTF-8} /usr/lib/wine/wine64"
