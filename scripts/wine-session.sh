#!/usr/bin/env bash
# Runs "$@" inside one warm Wine session: creates and configures the prefix
# once, keeps a persistent wineserver, its services and a keep-alive window
# for the whole run, and shuts everything down afterwards.
# Needs DISPLAY set already (see scripts/test.sh, which runs it under Xvfb).
set -u
. "$(dirname "$0")/wine-env.sh"
wine=$wine_loader
server=/usr/lib/wine/wineserver64

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  $wine wineboot -i </dev/null >/dev/null 2>&1
  # No crash dialog: a crash prints its backtrace and ends the process.
  $wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
  # Xvfb has no window manager: let Wine draw the captions.
  $wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1
  # Debian's Wine does not load fonts-wine by itself.
  cp /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
  $server -w
fi

$server -p </dev/null >/dev/null 2>&1
$wine wineboot </dev/null >/dev/null 2>&1
if [ -n "${WINE_KEEPALIVE:-}" ] && [ -f "$WINE_KEEPALIVE" ]; then
  $wine "$WINE_KEEPALIVE" </dev/null >/dev/null 2>&1 &
fi

"$@"
rc=$?
$server -k </dev/null >/dev/null 2>&1
exit $rc
