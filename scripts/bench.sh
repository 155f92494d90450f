#!/usr/bin/env bash
# What printing costs the tool, beside a C program that only prints the same
# five lines with printf (tests/bench/print_only.c):
#   - the Windows exes' sizes, 32-bit and x64, against that program's, built
#     with the same mingw-w64 toolchains;
#   - under Wine, how many writes one run's output takes on its way into a
#     pipe: the 32-bit exe in a win32 prefix, the x64 exe in a win64 one on
#     Wine's 64-bit loader alone;
#   - on Linux, on the simulated machine: the instructions of one run keeping
#     nothing and of one write with its brightness store (valgrind
#     --tool=callgrind); 1,000 write runs of each, side by side; a write on a
#     scenario near the 1 MiB limit whose store keeps every device's levels.
#   scripts/bench.sh [--check] [BUILD-DIR]
# Everything comes from a build tree of the windows preset: BUILD-DIR, or
# build/windows, configured and built first. With --check (the CTest test
# bench) it fails unless what the README claims holds: each exe at most
# 24 KiB, one piped write for each; on Linux, a run keeping nothing at most
# 2.5 times the printf-only program's instructions, a write with its store at
# most 1.5 million, 1,000 of them at most 4 times as long as 1,000 keeping
# nothing, and the large scenario under a second. It leaves nothing in TMPDIR.
# Where the kernel runs no i386 code, Wine's 32-bit loader runs under
# qemu-i386, set up as for the Wine cases (tests/wine/wine_route.sh).
set -euo pipefail
check=""
[ "${1:-}" != --check ] || { check=1; shift; }
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-}
if [ -z "$build" ]; then
    build=$source_dir/build/windows
    echo "building the windows preset..." >&2
    (cd "$source_dir" && cmake --preset windows >/dev/null && cmake --build --preset windows >/dev/null)
fi
# shellcheck source-path=SCRIPTDIR source=../tests/wine/wine_route.sh
source "$source_dir/tests/wine/wine_route.sh"
tmp=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/led-bench.XXXXXX")")
cleanup() {
    local prefix
    for prefix in "$tmp"/pfx*; do
        [ ! -d "$prefix" ] || WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT

exe=$build/windows-x86/Tovrin_LED_Test.exe
exe64=$build/windows-x64/Tovrin_LED_Test.exe
print_only=$build/windows-x86/tests/bench/print_only.exe
print_only64=$build/windows-x64/tests/bench/print_only.exe

# Writes that reached the named pipe $1 while the command after it ran.
piped_writes() {
    local fifo=$1 reader
    shift
    rm -f "$fifo"
    mkfifo "$fifo"
    cat "$fifo" >/dev/null &
    reader=$!
    timeout 120 strace --seccomp-bpf -f -qq -y -e trace=write,writev,pwrite64 -o "$tmp/strace" "$@" \
        >"$fifo" 2>/dev/null </dev/null || true
    # A Wine process that kept the pipe open would hold the reader forever.
    sleep 1
    kill "$reader" 2>/dev/null || true
    wait "$reader" 2>/dev/null || true
    grep -c -F "<$fifo>" "$tmp/strace" || true
}

# prefix_writes <arch> <prefix> <tool exe> <printf-only exe> <wine command...>:
# in a fresh prefix, the piped writes of one tool run and of the printf-only
# program, on one line.
prefix_writes() {
    local exe=$3 print_only=$4
    export WINEARCH=$1 WINEPREFIX=$2
    shift 4
    echo "making a $WINEARCH Wine prefix..." >&2
    "$@" wineboot -i >/dev/null 2>&1
    # A persistent wineserver of its own; the one wineboot started may still
    # be winding down, and -p refuses while it runs.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    wineserver -p >/dev/null 2>&1 </dev/null
    "$@" "$exe" >/dev/null 2>&1 </dev/null || true # Starts Wine's services outside the count.
    echo "$(piped_writes "$tmp/pipe" "$@" "$exe" r green) $(piped_writes "$tmp/pipe" "$@" "$print_only")"
    wineserver -k >/dev/null 2>&1 || true
}

tool_writes="not measured (*)" print_writes=$tool_writes tool_writes64=$tool_writes print_writes64=$tool_writes
note=""
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if ! command -v wine >/dev/null; then
    note="(*) Wine is not installed."
elif ! route=$(wine_i386_route); then
    note="(*) Wine cannot start 32-bit programs here; missing: $route."
else
    # Wine's wineserver folders go with $tmp.
    mkdir "$tmp/wine-tmp"
    export TMPDIR=$tmp/wine-tmp
    [ "$route" = native ] || PATH=$(make_qemu_loader "$route" "$tmp/loader"):$PATH
    note="$(wine_route_line "$route")"
    read -r tool_writes print_writes < <(prefix_writes win32 "$tmp/pfx" "$exe" "$print_only" wine)
    # The x64 exe as the Wine cases run it: a win64 prefix, the 64-bit loader.
    export WINELOADER=$wine_dir/wine64
    read -r tool_writes64 print_writes64 < <(prefix_writes win64 "$tmp/pfx64" "$exe64" "$print_only64" \
        "$wine_dir/wine64")
fi

instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
# Seconds that a command takes, to the millisecond.
seconds() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.3f", e - s }'
}
writes() {
    local i
    for ((i = 0; i < 1000; i++)); do LEDSIM_STATE=$1 "$tool" w green 7; done
}
tool=$build/Tovrin_LED_Test
store=$tmp/ledsim.db
LEDSIM_STATE=$store "$tool" w green 6 >/dev/null # The store exists, as after a first run.
nothing_instructions=$(LEDSIM_STATE='' instructions "$tool" w green 7)
store_instructions=$(LEDSIM_STATE=$store instructions "$tool" w green 7)
print_instructions=$(instructions "$build/tests/bench/print_only")
ratio=$(awk -v t="$nothing_instructions" -v p="$print_instructions" 'BEGIN { printf "%.2f", t / p }')
nothing_seconds=$(seconds writes '')
store_seconds=$(seconds writes "$store")
runs_ratio=$(awk -v s="$store_seconds" -v n="$nothing_seconds" 'BEGIN { printf "%.2f", s / n }')
# A scenario near its 1 MiB limit, and a store that keeps a row for each of its devices.
scenario=$tmp/large.scn
awk 'BEGIN { for (i = 0; size < 1048000; i++) { line = sprintf("interface L%06d\n", i); size += length(line); printf "%s", line } }' >"$scenario"
/usr/bin/python3 -c 'import sqlite3, sys
db = sqlite3.connect(sys.argv[2])
db.executemany("INSERT OR REPLACE INTO brightness VALUES (?, 1, 2, 3)", ([l.split()[1]] for l in open(sys.argv[1])))
db.commit()' "$scenario" "$store"
large_seconds=$(LEDSIM_SCENARIO=$scenario LEDSIM_STATE=$store seconds "$tool" w blue 9)
large_devices=$(wc -l <"$scenario")

row() { printf '%-46s %-18s %s\n' "$@"; }
row "" "Tovrin_LED_Test" "printf-only C program"
row "Windows exe, bytes" "$(stat -c %s "$exe")" "$(stat -c %s "$print_only")"
row "Windows exe x64, bytes" "$(stat -c %s "$exe64")" "$(stat -c %s "$print_only64")"
row "Wine (win32), writes into a pipe" "$tool_writes" "$print_writes"
row "Wine (win64, x64 exe), writes into a pipe" "$tool_writes64" "$print_writes64"
row "Linux, instructions, keeping nothing" "$nothing_instructions" "$print_instructions"
row "Linux, keeping nothing / printf-only" "${ratio}x" ""
row "Linux, instructions, a write with its store" "$store_instructions" ""
row "Linux, 1,000 writes keeping nothing, s" "$nothing_seconds" ""
row "Linux, 1,000 writes with the store, s" "$store_seconds" "${runs_ratio}x"
row "Linux, $large_devices devices (1 MiB) and store, s" "$large_seconds" ""
[ -z "$note" ] || echo "$note"

[ -n "$check" ] || exit 0
failed=0
fail() { echo "FAIL: $*"; failed=1; }
for file in "$exe" "$exe64"; do
    [ "$(stat -c %s "$file")" -le 24576 ] || fail "$file is over 24 KiB"
done
[ "$tool_writes" = 1 ] || fail "the 32-bit exe's output took $tool_writes writes into a pipe, not 1"
[ "$tool_writes64" = 1 ] || fail "the x64 exe's output took $tool_writes64 writes into a pipe, not 1"
awk -v r="$ratio" 'BEGIN { exit !(r <= 2.5) }' || fail "a Linux run costs ${ratio}x the printf-only program, over 2.5x"
[ "$store_instructions" -le 1500000 ] || fail "a write with its store costs $store_instructions instructions, over 1.5 million"
awk -v r="$runs_ratio" 'BEGIN { exit !(r <= 4) }' || fail "1,000 writes with the store take ${runs_ratio}x as long, over 4x"
awk -v s="$large_seconds" 'BEGIN { exit !(s < 1) }' || fail "the 1 MiB scenario with its store took $large_seconds s"
exit "$failed"
