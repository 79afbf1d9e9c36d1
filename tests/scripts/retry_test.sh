#!/usr/bin/env bash
# scripts/run-tests.sh runs again only a test that failed with no output in
# under a second (as when Wine fails to start a process) and lists it; a
# failure with output, or a silent one that took longer, stands.
#   retry_test.sh RUN-TESTS.SH
set -u
run=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(retry NONE)
enable_testing()
add_test(NAME Passes COMMAND sh -c "echo fine")
add_test(NAME FailsSilentlyOnce COMMAND sh -c "if [ -f $work/tried ]; then echo ok; else touch $work/tried; exit 1; fi")
add_test(NAME FailsWithOutput COMMAND sh -c "echo FAILED line 3; exit 1")
add_test(NAME FailsSilentlySlowly COMMAND sh -c "sleep 1.5; exit 1")
CMAKE
cmake -S "$work" -B "$work/b" >/dev/null || exit 1
failures=0
check() {  # check DESCRIPTION EXPECTED-RC REGEX [CTEST ARGUMENTS]
  local what=$1 want=$2 pattern=$3 output rc
  shift 3
  rm -f "$work/tried"
  output=$(BUILD_DIR="$work/b" "$run" "$@" 2>&1)
  rc=$?
  if [ "$rc" = "$want" ] && grep -q -- "$pattern" <<<"$output"; then
    echo "ok: $what"
  else
    echo "FAILED: $what (rc $rc)"
    echo "$output" | tail -8
    failures=$((failures + 1))
  fi
}
check "a silent quick failure is retried and listed" 0 "FailsSilentlyOnce: passed on the retry" -R 'Passes|Once'
check "failures with output or taking long stand" 1 "2 test(s) failed"
check "no failure, no retry" 0 "" -R Passes
exit $((failures > 0))
