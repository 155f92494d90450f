#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
# the plain and the sanitizer build of the tool on the simulated machine, the
# cross-built Windows exe's checks, the MSVC-mode compile, the exe under Wine,
# the Windows workflow's schema, and the hardening stage.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh core

# Later stages need more packages. Where those are missing and cannot be
# installed here, the stage says so and is skipped; under CI it fails instead.
stage_ready() {
    scripts/install-deps.sh "$1" && return 0
    if [ -n "${CI:-}" ]; then
        echo "test.sh: stage '$1' cannot be set up under CI" >&2
        exit 1
    fi
    echo "test.sh: SKIPPED stage '$1': its packages are missing and cannot be installed here"
    return 1
}
stage_ready windows || true  # Without it the windows_exe test skips itself.
stage_ready wine || true     # Without it the wine_end_to_end test skips itself.
stage_ready msvc || true     # Without it the msvc_mode test skips itself.

echo "== formatting =="
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

# The Windows workflow runs only on GitHub's runners; here it is checked
# against the workflow schema. The validator comes from the npm registry, so
# off the network the check is skipped, unless under CI.
if stage_ready workflow; then
    echo "== Windows workflow =="
    if [ -n "${CI:-}" ] || timeout 30 npm ping --fetch-retries=0 --fetch-timeout=10000 >/dev/null 2>&1; then
        npx --yes @action-validator/cli@0.6.0 .github/workflows/windows.yml
    else
        echo "test.sh: SKIPPED the workflow check: the npm registry does not answer"
    fi
fi

for preset in default asan; do
    echo "== $preset build =="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

# Bounded fuzzing, clang-tidy, and valgrind over the whole runs (~2.5 min).
if stage_ready hardening; then
    echo "== hardening =="
    scripts/hardening.sh
fi
