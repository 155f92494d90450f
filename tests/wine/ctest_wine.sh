#!/usr/bin/env bash
# CTest entry: runs the Wine cases on the exe that the fixture windows_exe
# cross-built, with the Linux build as the simulated twin of every case.
#   ctest_wine.sh <Tovrin_LED_Test.exe> <linux Tovrin_LED_Test> <build-dir>
# Exit 77 (skipped) when the cross toolchain or Wine is missing, unless CI is set.
set -uo pipefail
exe=${1:?Windows exe}
sim_exe=${2:?Linux build of the tool}
build_dir=${3:?folder for the driver and its helpers}

if ! command -v i686-w64-mingw32-g++ >/dev/null; then
    [ -n "${CI:-}" ] && { echo "FAIL: i686-w64-mingw32-g++ is missing"; exit 1; }
    echo "SKIPPED: the Wine cases need the mingw-w64 cross toolchain; scripts/test.sh installs it as root"
    exit 77
fi
SIM_EXE=$sim_exe exec bash "$(dirname "$0")/run_wine_cases.sh" "$exe" "$build_dir"
