#!/usr/bin/env bash
# The hardening checks, one stage after another: the bounded fuzz run, clang-tidy
# and the valgrind pass over the whole runs.
#   scripts/hardening.sh [STAGE...]      stages: fuzz, tidy, valgrind (default: all)
# FUZZ_SECONDS sets each fuzz target's time (default 60). Every stage runs even
# when an earlier one failed; the exit status is non-zero if any failed.
# Needs the Debian packages of install-deps.sh's hardening stage.
set -uo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(fuzz tidy valgrind)

failed=()
for stage in "${stages[@]}"; do
    case "$stage" in
        fuzz) command=(fuzz/run.sh "${FUZZ_SECONDS:-60}") ;;
        tidy) command=(scripts/clang-tidy.sh) ;;
        valgrind) command=(scripts/valgrind.sh) ;;
        *)
            echo "hardening.sh: unknown stage '$stage'" >&2
            exit 2
            ;;
    esac
    echo
    echo "===== hardening: $stage ====="
    start=$SECONDS
    if "${command[@]}"; then
        echo "===== hardening: $stage passed in $((SECONDS - start)) s ====="
    else
        echo "===== hardening: $stage FAILED after $((SECONDS - start)) s ====="
        failed+=("$stage")
    fi
done

echo
if [ ${#failed[@]} -ne 0 ]; then
    echo "hardening: FAILED: ${failed[*]}"
    exit 1
fi
echo "hardening: all passed (${stages[*]})"
