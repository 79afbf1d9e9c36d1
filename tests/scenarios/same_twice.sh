#!/usr/bin/env bash
# Runs one scenario twice, each in a fresh sandbox, and fails unless both
# runs print the same output (dumps included) and both pass.
#   same_twice.sh EMULATOR SIMOUTLOOK.EXE NAME FILE.scn
set -u
emulator=$1 exe=$2 name=$3 file=$4
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for run in 1 2; do
  "$emulator" "$exe" --name "$name" "$file" </dev/null >"$out/$run" 2>&1
  rc=$?
  cat "$out/$run"
  [ "$rc" -eq 0 ] || { echo "run $run failed with exit code $rc"; exit 1; }
  tr -d '\r' <"$out/$run" | grep -qx 'scenario passed' || { echo "run $run ended without its verdict"; exit 1; }
done
if ! diff -u "$out/1" "$out/2"; then
  echo "the two runs printed different output"
  exit 1
fi
grep -q '^folder ' "$out/1" || { echo "the scenario printed no dump"; exit 1; }
echo "both runs printed the same $(wc -l <"$out/1") lines"
