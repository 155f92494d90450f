#!/usr/bin/env bash
# Installs what is missing, then runs every check: one CMake workflow preset
# a stage, each after the one before, failed or not; the presets say what a
# stage runs (cmake --workflow --list-presets). Ends with one line for all.
#   scripts/test.sh [STAGE...]   default asan valgrind tidy fuzz windows (default: all)
# A stage whose packages are missing and cannot be installed here (not root)
# is skipped; under CI (CI set) it fails.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(default asan valgrind tidy fuzz windows)

# A count from the JUnit file CTest wrote for the stage's tests.
count() { grep -om1 "$1=\"[0-9]*\"" build/*/test-results.xml 2>/dev/null | tr -dc 0-9; }

results=()
failed=0
for stage in "${stages[@]}"; do
    start=$SECONDS
    scripts/install-deps.sh "$stage"
    installed=$?
    [ "$installed" -ne 2 ] || exit 2
    if [ "$installed" -ne 0 ]; then
        [ -n "${CI:-}" ] && failed=1
        result=$([ -n "${CI:-}" ] && echo FAILED || echo SKIPPED)" (packages missing)"
    else
        echo "== $stage: $(cmake --workflow --list-presets | sed -n "s/^ *\"$stage\" *- //p") =="
        rm -f build/*/test-results.xml
        cmake --workflow --preset "$stage"
        status=$?
        [ "$status" -eq 0 ] || failed=1
        tests="no tests run"
        [ -z "$(count tests)" ] || tests="$(count tests) tests, $(count failures) failed, $(count skipped) skipped"
        tests=${tests/#1 tests/1 test}
        result="$([ "$status" -eq 0 ] && echo passed || echo FAILED) ($tests, $((SECONDS - start)) s)"
    fi
    results+=("$stage $result")
done
printf -v line '%s; ' "${results[@]}"
echo "test.sh: ${line%; }: $([ "$failed" -eq 0 ] && echo "all passed" || echo FAILED) in $((SECONDS / 60)) min $((SECONDS % 60)) s"
exit "$failed"
