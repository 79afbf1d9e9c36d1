#!/usr/bin/env bash
# Runs one scenario file in the simulated Outlook and prints what happens.
#   scripts/run-scenario.sh FILE.scn [--name NAME]
# Needs a built tree (BUILD_DIR, default build) and, outside scripts/demo.sh,
# an X display and a Wine session:
#   xvfb-run -a scripts/wine-session.sh scripts/run-scenario.sh FILE.scn
# Registers the add-in and the simulated wrapper in the prefix first (as the
# test fixture does). The add-in's clock runs TALLOWBY_CLOCK_SCALE times
# faster (default 60). Exit code: 0 every expectation held and the runner
# printed "scenario passed", 1 one failed (or the run ended without its
# verdict, as a process ended from outside does), 2 the scenario did not
# parse or the simulation did not start.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
[ $# -ge 1 ] || { echo "usage: $0 FILE.scn [--name NAME]" >&2; exit 2; }
file=$(realpath "$1"); shift
export TALLOWBY_CLOCK_SCALE=${TALLOWBY_CLOCK_SCALE:-60}
# Scenarios run in a time zone with daylight saving, as the test suite does.
export TZ=${TZ:-Europe/Berlin}
run="$root/scripts/wine-run.sh"
"$run" regsvr32 /s "$build/bin/Tallowby.dll" </dev/null
"$run" regsvr32 /s "$build/bin/simrdo.dll" </dev/null
exec "$root/scripts/scenario-verdict.sh" "$run" "$build/bin/simoutlook.exe" "$@" "$file"
