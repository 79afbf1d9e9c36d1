#!/usr/bin/env bash
# The campaign: generated scenarios, one per seed, each checked against the
# model of what the folders must hold.
#   scripts/campaign.sh FIRST LAST [-j N]
# Runs seeds FIRST..LAST, N at a time (default: half the cores), each worker
# in a Wine prefix, display and Wine session of its own under
# $BUILD_DIR/campaign/. Prints each failing seed with its scenario file and
# the first difference, and ends with one line "N passed, M failed".
# Exit code 0 when every seed passed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" >/dev/null
exec python3 "$root/tests/campaign/campaign.py" run "$@"
