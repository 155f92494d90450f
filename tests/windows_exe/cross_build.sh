#!/usr/bin/env bash
# CTest fixture setup: cross-builds the 32-bit Windows exe with the mingw
# preset's settings into <build-dir>, a folder of the build tree being tested,
# so the checkout is never written to and the exe is built once per test run.
#   cross_build.sh <source-dir> <build-dir>
# Exit 77 (skipped) when the cross toolchain is missing, unless CI is set.
set -uo pipefail
source_dir=${1:?source directory}
build_dir=${2:?build directory}

source "$(dirname "$0")/../missing_tools.sh"
command -v i686-w64-mingw32-g++ >/dev/null || missing_tools "the Windows exe" " g++-mingw-w64-i686"
# -B overrides the preset's own folder under the checkout.
cmake -S "$source_dir" -B "$build_dir" --preset mingw >/dev/null && cmake --build "$build_dir"
