#!/usr/bin/env bash
# The scenario verdict check: a run counts as passed only with exit code 0
# and the line "scenario passed"; a run ended from outside (exit 0, no
# verdict) fails.
#   verdict_test.sh CHECK EMULATOR VERDICT_STUB.EXE
set -u
check=$1 emulator=$2 stub=$3
failures=0
expect() {  # expect WANTED_RC VERDICT STUB_RC DESCRIPTION
  local output rc
  output=$(bash "$check" "$emulator" "$stub" "$2" "$3" 2>&1)
  rc=$?
  if [ "$rc" -ne "$1" ]; then
    printf '%s\n' "$output"
    echo "FAILED: $4: exit code $rc, wanted $1"
    failures=$((failures + 1))
  else
    echo "ok: $4"
  fi
}
expect 1 none 0 "a run ended without its verdict and exit code 0 fails"
expect 1 failed 0 "a failed verdict with exit code 0 fails"
expect 1 passed 1 "a passed verdict with exit code 1 fails"
expect 2 none 2 "a run that did not start keeps its exit code"
expect 0 passed 0 "a run with the verdict and exit code 0 passes"
[ "$failures" -eq 0 ]
