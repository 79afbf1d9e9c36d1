#!/usr/bin/env bash
# Takes a picture of the open log viewer: emulator, test exe, output PNG.
# Needs DISPLAY (scripts/test.sh runs ctest under Xvfb) and ImageMagick.
set -u
emulator=$1 tests=$2 out=$3
shot_dir=$(mktemp -d)
trap 'rm -rf "$shot_dir"' EXIT
mkdir -p "$(dirname "$out")"
rm -f "$out"

TALLOWLOG_SHOT_DIR="Z:$shot_dir" "$emulator" "$tests" --gtest_also_run_disabled_tests \
  --gtest_filter=TallowlogProgram.DISABLED_HoldOpenForScreenshot &
holder=$!

for _ in $(seq 300); do
  [ -f "$shot_dir/ready" ] && break
  kill -0 $holder 2>/dev/null || break
  sleep 0.1
done
if [ ! -f "$shot_dir/ready" ]; then
  echo "the viewer did not open"
  wait $holder
  exit 1
fi

window=$(tr -d '\r\n' <"$shot_dir/ready")
if [ -z "$window" ] || [ "$((window))" -eq 0 ]; then
  window=$(xwininfo -name Logging 2>/dev/null | awk '/Window id/{print $4}')
fi
sleep 0.5  # let the window finish painting
import -window "$window" "$out"
shot=$?
touch "$shot_dir/done"
wait $holder
held=$?

[ $shot -eq 0 ] && [ -s "$out" ] || { echo "no screenshot taken of window $window"; exit 1; }
echo "screenshot: $out ($(identify -format '%wx%h' "$out"))"
# A blank capture has no spread of colours.
spread=$(identify -format '%[fx:standard_deviation]' "$out")
awk -v s="$spread" 'BEGIN { exit !(s > 0.05) }' || { echo "the screenshot is blank (deviation $spread)"; exit 1; }
exit $held
