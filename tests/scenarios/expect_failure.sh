#!/usr/bin/env bash
# Runs a scenario that must fail: passes only when simoutlook exits 1 and
# prints the expected text.
#   expect_failure.sh EMULATOR SIMOUTLOOK.EXE TEXT [simoutlook arguments...]
set -u
emulator=$1 exe=$2 text=$3
shift 3
output=$("$emulator" "$exe" "$@" </dev/null 2>&1)
rc=$?
printf '%s\n' "$output"
[ "$rc" -eq 1 ] || { echo "expected exit code 1, got $rc"; exit 1; }
printf '%s\n' "$output" | grep -qF -- "$text" || { echo "the output lacks: $text"; exit 1; }
if printf '%s\n' "$output" | grep -qF 'expect box "never"'; then
  echo "the scenario went on after the failure"; exit 1
fi
echo "failed as expected"
