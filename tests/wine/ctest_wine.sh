#!/usr/bin/env bash
# CTest entry: runs the Wine cases on the exe that the fixture windows_exe
# cross-built, with the Linux build as the simulated twin of every case.
#   ctest_wine.sh <Tovrin_LED_Test.exe> <linux Tovrin_LED_Test> <build-dir>
# Exit 77 (skipped) when the cross toolchain or Wine is missing, unless CI is set.
set -uo pipefail
exe=${1:?Windows exe}
sim_exe=${2:?Linux build of the tool}
build_dir=${3:?folder for the driver and its helpers}

source "$(dirname "$0")/../missing_tools.sh"
command -v i686-w64-mingw32-g++ >/dev/null || missing_tools "the Wine cases" " g++-mingw-w64-i686"
SIM_EXE=$sim_exe exec bash "$(dirname "$0")/run_wine_cases.sh" "$exe" "$build_dir"
