#!/usr/bin/env bash
# Builds the deliverables with scripts/ship.sh and checks what a user gets:
# Tallowby.dll exports exactly the module's four functions at ordinals 1 to
# 4; both files import only Windows' own DLLs (the runtimes are linked in),
# carry no debug information and no test seam; the build is optimised; and
# the simulated Outlook registers the DLL with regsvr32, loads, starts and
# quits it (in a Wine prefix of its own).
#   ship_test.sh SOURCE_DIR TEST_BUILD_DIR SCENARIO
set -u
src=$1 tests=$2 scenario=$3
ship=$tests/ship
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

SHIP_BUILD_DIR=$ship SHIP_JOBS=${SHIP_JOBS:-4} "$src/scripts/ship.sh" || { echo "FAILED: scripts/ship.sh"; exit 1; }
dll=$ship/bin/Tallowby.dll
exe=$ship/bin/Tallowlog.exe
objdump=x86_64-w64-mingw32-objdump

grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$ship/CMakeCache.txt" || fail "the shipping build is not a Release build"

exports=$($objdump -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[/ { print $3 }' | tr '\n' ' ')
[ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
  fail "Tallowby.dll exports: $exports"
ordinals=$($objdump -p "$dll" | grep -o '+base\[ *[0-9]*\]' | tr -d ' ' | tr '\n' ' ')
[ "$ordinals" = "+base[1] +base[2] +base[3] +base[4] " ] || fail "Tallowby.dll's ordinals: $ordinals"

for file in "$dll" "$exe"; do
  name=$(basename "$file")
  imports=$($objdump -p "$file" | sed -n 's/^\tDLL Name: //p')
  for import in $imports; do
    case ${import,,} in
      lib*.dll) fail "$name imports $import: the runtime is not linked in" ;;
    esac
  done
  $objdump -h "$file" | grep -q '\.debug' && fail "$name carries debug information"
  for seam in TALLOWBY_CLOCK_SCALE TALLOWBY_TEST_PASS_SECONDS; do
    strings -el "$file" | grep -q "$seam" && fail "$name reads the test setting $seam"
  done
  strings -a "$file" | grep -q TallowbyTestReload && fail "$name holds the test entry point"
done

export WINEPREFIX=$ship/wineprefix
# shellcheck disable=SC2016
"$src/scripts/wine-session.sh" bash -c '
  run=$1 dll=$2 tests=$3 scenario=$4 verdict=$5
  "$run" regsvr32 /s "$dll" </dev/null || { echo "FAILED: regsvr32 of the shipped DLL"; exit 1; }
  server=$("$run" reg query "HKCR\\CLSID\\{BE6D8A33-C159-4801-8014-41C6120C95D9}\\InprocServer32" /ve </dev/null 2>&1 | tr -d "\r")
  printf "%s\n" "$server" | grep -qi "ship\\\\bin\\\\Tallowby.dll" || { echo "FAILED: registered server: $server"; exit 1; }
  "$run" regsvr32 /s "$tests/bin/simrdo.dll" </dev/null || { echo "FAILED: regsvr32 of the simulated wrapper"; exit 1; }
  TALLOWBY_CLOCK_SCALE=60 "$verdict" "$run" "$tests/bin/simoutlook.exe" --name Ship.Deliverables "$scenario"
' - "$src/scripts/wine-run.sh" "$dll" "$tests" "$scenario" "$src/scripts/scenario-verdict.sh" || fail "the simulated Outlook with the shipped DLL"

[ "$failures" -eq 0 ] && echo "the shipped files are as a user installs them"
[ "$failures" -eq 0 ]
