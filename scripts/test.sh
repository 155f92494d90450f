#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
# the plain and the sanitizer build of the tool on the simulated machine.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh core

# Later stages skip themselves, saying so, where their tools are missing and
# cannot be installed here; under CI they fail instead.
optional_stage() {
    scripts/install-deps.sh "$1" && return 0
    [ -n "${CI:-}" ] && { echo "test.sh: stage '$1' cannot be set up under CI" >&2; exit 1; }
    echo "test.sh: stage '$1' will be skipped"
}
optional_stage windows

for preset in default asan; do
    echo "== $preset build =="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done
