#!/usr/bin/env bash
# Builds the fuzz preset and runs each fuzz target for a bounded time.
#   fuzz/run.sh [SECONDS [TARGET...]]    default: 60 seconds, every target
# Targets: command_line, tool_run, scenario. FUZZ_JOBS targets run at once
# (default: the number of cores). Fails on any crash, sanitizer report, leak
# or failed check; the input that did it is kept in build/fuzz/artifacts/.
# New inputs are kept in build/fuzz/corpus/<target>, so later runs on the
# same machine start from where this one stopped; the seeds, fuzz/corpus/
# and for the scenario target tests/scenarios/, are only read.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(command_line tool_run scenario)
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

runs=build/fuzz/runs
mkdir -p "$runs" build/fuzz/artifacts
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

run_target() {
    local target=$1
    local dict=()
    [ -f "fuzz/dict/$target.dict" ] && dict=("-dict=fuzz/dict/$target.dict")
    local seeds=("fuzz/corpus/$target")
    # The scenarios the tests run are seeds too, read where they are.
    [ "$target" = scenario ] && seeds+=(tests/scenarios)
    mkdir -p "build/fuzz/corpus/$target"
    # -rss_limit_mb stays at libFuzzer's 2048: the tool allocates its detail
    # buffer at the size the scenario reports, which the decoder caps at
    # 64 MiB, and the sanitizer's quarantine holds a few hundred more.
    "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$target-" "${dict[@]}" \
        "build/fuzz/corpus/$target" "${seeds[@]}" >"$runs/$target.log" 2>&1
}

# Every name is checked before any target starts, so a wrong one leaves
# nothing running.
for target in "${targets[@]}"; do
    if [ ! -x "build/fuzz/fuzz/fuzz_$target" ]; then
        echo "fuzz: no target '$target'" >&2
        exit 2
    fi
done

echo "fuzz: ${targets[*]}, $seconds s each, $jobs at a time"
running=0
for target in "${targets[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    (
        status=0
        run_target "$target" || status=$?
        echo "$status" >"$runs/$target.status"
    ) &
    running=$((running + 1))
done
wait

failed=0
for target in "${targets[@]}"; do
    status=$(cat "$runs/$target.status")
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$runs/$target.log")
    if [ "$status" -eq 0 ]; then
        printf 'fuzz: %-13s passed, %s executions\n' "$target" "${executions:-?}"
    else
        failed=1
        printf 'fuzz: %-13s FAILED (status %s) after %s executions; end of %s:\n' \
            "$target" "$status" "${executions:-?}" "$runs/$target.log"
        grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)|NEW_FUNC' "$runs/$target.log" | tail -40
        echo "fuzz: reproduce with build/fuzz/fuzz/fuzz_$target build/fuzz/artifacts/$target-<input>"
    fi
done
exit "$failed"
