#!/usr/bin/env bash
# Runs a scenario command ("$@", for example wine-run.sh simoutlook.exe
# FILE.scn) and passes its output through. The scenario has passed only
# when the command exited 0 AND the runner printed its verdict line
# "scenario passed": a process that the wineserver ends (another run in the
# same prefix, a kill) exits 0 without having run to the end.
# Exit code: the command's own when it is not 0, 1 when it exited 0 without
# the verdict, else 0.
set -u
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGUMENTS...]" >&2; exit 2; }
output=$(mktemp)
trap 'rm -f "$output"' EXIT
"$@" </dev/null 2>&1 | tee "$output"
rc=${PIPESTATUS[0]}
[ "$rc" -eq 0 ] || exit "$rc"
if ! tr -d '\r' <"$output" | grep -qx 'scenario passed'; then
  echo "no verdict: the scenario exited 0 without printing \"scenario passed\" (was it ended from outside?)"
  exit 1
fi
exit 0
