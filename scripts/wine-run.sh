#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's fixed settings
# (scripts/wine-env.sh). ctest puts this in front of every test command.
. "$(dirname "$0")/wine-env.sh"
exec $wine_loader "$@"
