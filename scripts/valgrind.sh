#!/usr/bin/env bash
# The whole-run tests of the default build with every run of the tool under
# valgrind's memcheck: any memory error, or a definite or indirect leak,
# makes the tool exit 99 or write to stderr, and so fails its test. The
# low-memory case skips itself (valgrind cannot run under its address limit).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v valgrind >/dev/null; then
    echo "valgrind.sh: valgrind not found (Debian package valgrind)" >&2
    exit 2
fi
jobs=$(nproc 2>/dev/null || echo 2)

cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"

export LEDTEST_WRAPPER="valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect -q"
ctest --preset default -R '^WholeRun\.' -j "$jobs"
