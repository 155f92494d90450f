#!/usr/bin/env bash
# CTest fixture setup: cross-builds the 32-bit Windows exe with the mingw
# preset's settings into <build-dir>, a folder of the build tree being tested,
# so the checkout is never written to and the exe is built once per test run.
#   cross_build.sh <source-dir> <build-dir>
# Exit 77 (skipped) when the cross toolchain is missing, unless CI is set.
set -uo pipefail
source_dir=${1:?source directory}
build_dir=${2:?build directory}

if ! command -v i686-w64-mingw32-g++ >/dev/null; then
    [ -n "${CI:-}" ] && { echo "FAIL: i686-w64-mingw32-g++ is missing"; exit 1; }
    echo "SKIPPED: the Windows exe needs the mingw-w64 cross toolchain; scripts/test.sh installs it as root"
    exit 77
fi
# -B overrides the preset's own folder under the checkout.
cmake -S "$source_dir" -B "$build_dir" --preset mingw >/dev/null && cmake --build "$build_dir"
