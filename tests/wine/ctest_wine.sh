#!/usr/bin/env bash
# CTest entry: cross-builds the Windows exe, then runs the Wine cases with
# the Linux build as the simulated twin of every case.
#   ctest_wine.sh <source-dir> <linux Tovrin_LED_Test>
# Exit 77 (skipped) when the cross toolchain or Wine is missing, unless CI is set.
set -uo pipefail
source_dir=${1:?source directory}
sim_exe=${2:?Linux build of the tool}
cd "$source_dir" || exit 1

if ! command -v i686-w64-mingw32-g++ >/dev/null; then
    [ -n "${CI:-}" ] && { echo "FAIL: i686-w64-mingw32-g++ is missing"; exit 1; }
    echo "SKIPPED: the Wine cases need the mingw-w64 cross toolchain; scripts/test.sh installs it as root"
    exit 77
fi
cmake --preset mingw >/dev/null && cmake --build --preset mingw >/dev/null || exit 1
SIM_EXE=$sim_exe exec bash tests/wine/run_wine_cases.sh build/mingw/Tovrin_LED_Test.exe
