#!/usr/bin/env bash
# Installs what is missing, then runs every check: one CMake workflow preset
# a stage (CMakePresets.json), each stage after the one before, failed or
# not. Ends with one line for the whole run.
#   scripts/test.sh [STAGE...]   default asan valgrind tidy fuzz windows (default: all)
# A stage whose packages are missing and cannot be installed here (not root)
# is skipped; under CI (CI set) it fails.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(default asan valgrind tidy fuzz windows)

# What a stage runs, and about how long it takes on 2 cores in a fresh build tree.
about() {
    case $1 in
        default) echo "unit and whole-run tests, the format and workflow checks; about 45 s" ;;
        asan) echo "the same tests under AddressSanitizer and UBSan; about 40 s" ;;
        valgrind) echo "the whole runs with every run of the tool under valgrind; about 50 s" ;;
        tidy) echo "clang-tidy over the tool and the stand-in, the format check; about 30 s" ;;
        fuzz) echo "each fuzz target for 60 s, two at a time; about 2.5 min" ;;
        windows) echo "both Windows exes, their packages and checks, the MSVC-mode compile, the Wine cases, the bench; about 3.5 min, 6 where Wine's 32-bit loader runs under qemu-i386" ;;
        *) echo "unknown" ;;
    esac
}

mkdir -p build
results=()
failed=0
for stage in "${stages[@]}"; do
    start=$SECONDS
    log=build/test-$stage.log
    if [ "$(about "$stage")" = unknown ]; then
        echo "test.sh: unknown stage '$stage'" >&2
        exit 2
    elif ! scripts/install-deps.sh "$stage"; then
        [ -n "${CI:-}" ] && failed=1
        result=$([ -n "${CI:-}" ] && echo FAILED || echo SKIPPED)" (packages missing)"
    else
        echo "== $stage: $(about "$stage") =="
        cmake --workflow --preset "$stage" 2>&1 | tee "$log"
        status=${PIPESTATUS[0]}
        tests=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1 tests/p' "$log" | tail -n 1 | sed 's/^1 tests/1 test/')
        skipped=$(grep -c '(Skipped)$' "$log")
        [ "$skipped" -eq 0 ] || tests="$tests, $skipped skipped"
        [ "$status" -eq 0 ] || failed=1
        result="$([ "$status" -eq 0 ] && echo passed || echo FAILED) (${tests:-no tests}, $((SECONDS - start)) s)"
    fi
    results+=("$stage $result")
done
overall=$([ "$failed" -eq 0 ] && echo "all passed" || echo "FAILED")
printf -v line '%s; ' "${results[@]}"
echo "test.sh: ${line%; }: $overall in $((SECONDS / 60)) min $((SECONDS % 60)) s"
exit "$failed"
