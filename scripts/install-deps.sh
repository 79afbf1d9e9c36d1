#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Safe to run again:
# it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine64 libwine-dev fonts-wine
  xvfb xauth x11-utils imagemagick
  cmake ninja-build googletest
  python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  echo "Installing: ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
