#!/usr/bin/env bash
# CTest fixture setup: cross-builds the Windows exes and their packages with
# the settings of the presets mingw (32-bit) and mingw-x64 into <folder>/mingw
# and <folder>/mingw-x64, folders of the build tree being tested, so the
# checkout is never written to and each exe is built once per test run.
#   cross_build.sh <source-dir> <folder>
# Exit 77 (skipped) when the cross toolchains are missing, unless CI is set.
set -uo pipefail
source_dir=${1:?source directory}
folder=${2:?folder for the builds}

source "$(dirname "$0")/../missing_tools.sh"
missing=""
command -v i686-w64-mingw32-g++ >/dev/null || missing+=" g++-mingw-w64-i686"
command -v x86_64-w64-mingw32-g++ >/dev/null || missing+=" g++-mingw-w64-x86-64"
[ -z "$missing" ] || missing_tools "the Windows exes" "$missing"
for preset in mingw mingw-x64; do
    # -B overrides the preset's own folder under the checkout.
    cmake -S "$source_dir" -B "$folder/$preset" --preset "$preset" >/dev/null &&
        cmake --build "$folder/$preset" &&
        cpack -G ZIP --config "$folder/$preset/CPackConfig.cmake" -B "$folder/$preset" >/dev/null || exit 1
done
