#!/usr/bin/env bash
# A benchmark, not a test: what printing costs the tool, beside a C program
# that only prints the same five lines with printf.
#   - the Windows exes' sizes, 32-bit and x64, against that program's, all
#     built here with the same mingw-w64 toolchains;
#   - under Wine, how many writes one run's output takes on its way into a
#     pipe: the 32-bit exe in a win32 prefix, the x64 exe in a win64 one on
#     Wine's 64-bit loader alone;
#   - on Linux, the instructions one run costs (valgrind --tool=callgrind).
# Builds in a temporary folder; needs mingw-w64, strace, wine and valgrind.
# Where the kernel runs no i386 code, Wine's 32-bit loader runs under
# qemu-i386, set up as for the Wine cases (tests/wine/wine_route.sh).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source-path=SCRIPTDIR source=../tests/wine/wine_route.sh
source "$source_dir/tests/wine/wine_route.sh"
tmp=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/led-bench.XXXXXX")")
cleanup() {
    local prefix
    for prefix in "$tmp/pfx" "$tmp/pfx64"; do
        [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
    done
    rm -rf "$tmp"
}
trap cleanup EXIT

cat >"$tmp/print_only.c" <<'EOF'
#include <stdio.h>
int main(void)
{
    printf("Successfully created device information set.\n");
    printf("DevDetails->cbSize = %u\n", 6u);
    printf("   %s\n", "\\\\?\\ROOT#LED#0000#{702eda9e-7390-4cfe-aea2-6f85676e3d22}");
    printf("Success creating device\n");
    printf("Brightness == %u\n", 0u);
    return 0;
}
EOF

echo "building..." >&2
for preset in mingw mingw-x64; do
    cmake -S "$source_dir" -B "$tmp/$preset" --preset $preset >/dev/null
    cmake --build "$tmp/$preset" >/dev/null
done
exe=$tmp/mingw/Tovrin_LED_Test.exe
exe64=$tmp/mingw-x64/Tovrin_LED_Test.exe
for cpu in i686 x86_64; do
    $cpu-w64-mingw32-gcc -D__USE_MINGW_ANSI_STDIO=0 -O2 -s -static -Wl,--subsystem,console:6.0 \
        -o "$tmp/print_only-$cpu.exe" "$tmp/print_only.c"
done
cmake -S "$source_dir" -B "$tmp/linux" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$tmp/linux" -j "$(nproc)" >/dev/null
gcc -O2 -o "$tmp/print_only" "$tmp/print_only.c"

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
    wineserver -p >/dev/null 2>&1 </dev/null
    "$@" "$exe" >/dev/null 2>&1 </dev/null # Starts Wine's services outside the count.
    echo "$(piped_writes "$tmp/pipe" "$@" "$exe" r green) $(piped_writes "$tmp/pipe" "$@" "$print_only")"
    wineserver -k >/dev/null 2>&1 || true
}

tool_writes="not measured (*)"
print_writes="not measured (*)"
tool_writes64="not measured (*)"
print_writes64="not measured (*)"
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
    read -r tool_writes print_writes < <(prefix_writes win32 "$tmp/pfx" "$exe" "$tmp/print_only-i686.exe" wine)
    # The x64 exe as the Wine cases run it: a win64 prefix, the 64-bit loader.
    export WINELOADER=$wine_dir/wine64
    read -r tool_writes64 print_writes64 < <(prefix_writes win64 "$tmp/pfx64" "$exe64" \
        "$tmp/print_only-x86_64.exe" "$wine_dir/wine64")
fi

instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
export LEDSIM_STATE=$tmp/ledsim.state
tool_instructions=$(instructions "$tmp/linux/Tovrin_LED_Test" r green)
print_instructions=$(instructions "$tmp/print_only")

row() { printf '%-42s %-18s %s\n' "$@"; }
row "" "Tovrin_LED_Test" "printf-only C program"
row "Windows exe, bytes" "$(stat -c %s "$exe")" "$(stat -c %s "$tmp/print_only-i686.exe")"
row "Windows exe x64, bytes" "$(stat -c %s "$exe64")" "$(stat -c %s "$tmp/print_only-x86_64.exe")"
row "Wine (win32), writes into a pipe" "$tool_writes" "$print_writes"
row "Wine (win64, x64 exe), writes into a pipe" "$tool_writes64" "$print_writes64"
row "Linux, instructions of one run" "$tool_instructions" "$print_instructions"
row "Linux, tool / printf-only" "$(awk -v t="$tool_instructions" -v p="$print_instructions" 'BEGIN { printf "%.2fx", t / p }')" ""
[ -z "$note" ] || echo "$note"
