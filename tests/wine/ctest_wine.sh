#!/usr/bin/env bash
# CTest entry: runs the Wine cases on the exes that the fixture windows_exe
# cross-built, with the Linux build as the simulated twin of every case.
#   ctest_wine.sh <32-bit exe> <x64 exe> <linux Tovrin_LED_Test> <build-dir>
# Exit 77 (skipped) when the cross toolchains or Wine are missing, unless CI is set.
set -uo pipefail
exe_x86=${1:?32-bit Windows exe}
exe_x64=${2:?x64 Windows exe}
sim_exe=${3:?Linux build of the tool}
build_dir=${4:?folder for the driver and its helpers}

source "$(dirname "$0")/../missing_tools.sh"
missing=""
command -v i686-w64-mingw32-g++ >/dev/null || missing+=" g++-mingw-w64-i686"
command -v x86_64-w64-mingw32-g++ >/dev/null || missing+=" g++-mingw-w64-x86-64"
[ -z "$missing" ] || missing_tools "the Wine cases" "$missing"
SIM_EXE=$sim_exe exec bash "$(dirname "$0")/run_wine_cases.sh" "$exe_x86" "$exe_x64" "$build_dir"
