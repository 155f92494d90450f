#!/bin/bash
# End-to-end runs of the real Tovrin_LED_Test.exe, 32-bit and x64, under Wine,
# against the stand-in LED driver (ledstub.sys) installed as a root-enumerated
# device. The test wine_end_to_end of the windows preset runs it on what that
# build tree cross-built, once its configure step has found every tool.
#
# usage: run_wine_cases.sh <32-bit exe> <x64 exe> <i686 helpers> <x86_64 helpers>
#
#   helpers      a folder with that CPU's ledstub.sys, ledstub.inf, ledinst.exe
#                and ledcheck.exe (<build>/windows-x86/tests/wine, -x64/...)
#   WINE_LANES   lanes to run, default "win32 win64 win64-x64":
#                  win32      the 32-bit exe in a 32-bit prefix
#                  win64      the 32-bit exe in a 64-bit prefix, through WoW64
#                  win64-x64  the x64 exe in a 64-bit prefix, on Wine's 64-bit
#                             loader (see the lane loop for what it proves)
#   KEEP         if set, keep the temporary folder with the prefixes
#   SIM_EXE      if set, the Linux build of the tool: every case is also run on
#                a simulated machine set up like the Wine one, and its output
#                must match Wine's but for the CR of each line end (and, for
#                the x64 exe, the size of its detail record: 8, not 6)
#
# Where the kernel runs no i386 code, Wine's 32-bit loader runs under
# qemu-i386 (wine_route.sh); the first line of output says which way it runs.
#
# Exit status: 0 all passed, 1 a case or a setup step failed, 2 usage.
set -u

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
source "$here/wine_route.sh"

if [ $# -ne 4 ]; then
    echo "usage: $0 <32-bit exe> <x64 exe> <i686 helpers folder> <x86_64 helpers folder>" >&2
    exit 2
fi
for file in "$1" "$2" "$3/ledcheck.exe" "$4/ledcheck.exe"; do
    if [ ! -f "$file" ]; then
        echo "$0: no such file: $file" >&2
        exit 2
    fi
done
exe_i686=$(realpath "$1")
exe_x86_64=$(realpath "$2")
declare -A helpers=([i686]=$(realpath "$3") [x86_64]=$(realpath "$4"))
lanes=${WINE_LANES:-win32 win64 win64-x64}

# lane_settings <lane>: the prefix's bitness, the CPU of the driver and its
# installer (the prefix's own), and the CPU of the tool and of ledcheck, which
# sees the devices the way the tool does.
lane_settings() {
    case $1 in
        win32) echo "win32 i686 i686" ;;
        win64) echo "win64 x86_64 i686" ;;
        win64-x64) echo "win64 x86_64 x86_64" ;;
        *) return 1 ;;
    esac
}
for lane in $lanes; do
    if ! lane_settings "$lane" >/dev/null; then
        echo "$0: unknown lane '$lane' in WINE_LANES" >&2
        exit 2
    fi
done

passed=0
failed=0

summary() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# The 32-bit lanes need a way to run Wine's 32-bit loader here.
route=native
case " $lanes " in *" win32 "* | *" win64 "*)
    if ! route=$(wine_i386_route); then
        echo "FAIL setup: missing $route"
        failed=1
        summary
        exit 1
    fi ;;
esac

tmp=$(mktemp -d "${TMPDIR:-/tmp}/led-wine.XXXXXX")
tmp=$(realpath "$tmp")

cleanup() {
    local prefix
    for prefix in "$tmp"/pfx-*; do
        [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
    done
    if [ -n "${KEEP:-}" ]; then echo "# kept $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Wine keeps its wineserver folders under TMPDIR; here they go with $tmp.
mkdir "$tmp/wine-tmp"
export TMPDIR=$tmp/wine-tmp
if [ "$route" != native ]; then
    if ! loader_bin=$(make_qemu_loader "$route" "$tmp/loader" 2>&1); then
        echo "FAIL setup: the loader folders for qemu-i386"
        printf '    %s\n' "$loader_bin"
        failed=1
        summary
        exit 1
    fi
    PATH=$loader_bin:$PATH
fi
case " $lanes " in
    *" win32 "* | *" win64 "*) how=$(wine_route_line "$route") ;;
    *) how="Wine: $("$wine_dir/wine64" --version 2>/dev/null)" ;;
esac
case " $lanes " in *" win64-x64 "*) how="$how; the x64 exe on its 64-bit loader alone" ;; esac
echo "# $how"

# --- helpers -------------------------------------------------------------

# Runs a Windows program, its output (CR dropped) on stdout.  Wine never
# writes into a pipe here: the wineserver and services it may start would
# inherit the pipe and keep a command substitution waiting for them.
wine_run() {
    local rc
    timeout 120 "${wine_cmd[@]}" "$@" </dev/null >"$tmp/wine_run.out" 2>&1
    rc=$?
    tr -d '\r' <"$tmp/wine_run.out"
    return $rc
}

# Expected output: each argument is one line; Windows text mode ends it in CR LF.
lines() { local l; for l in "$@"; do printf '%s\r\n' "$l"; done; }

# The simulated machine that mirrors the Wine one: sim_machine writes its
# scenario (one argument a line), sim_forget drops the brightness it kept,
# as a driver reload does.
sim_machine() { printf '%s\n' "$@" >"$tmp/sim.scn"; }
sim_forget() { rm -f "$tmp/sim.state"; }
led_line() {   # led_line <path> <green> <blue> <keyback> [knob...]
    local p=$1 g=$2 b=$3 k=$4
    shift 4
    echo "interface $p green=$g blue=$b keyback=$k $*"
}

mapfile -t usage_lines <"$here/../usage.txt"
no_device=(
    "Successfully created device information set."
    "Enumeration listing complete.  0 device(s) detected."
    "ERROR finding driver"
)
# The tool's lines up to its open of the device at $1, one a line; then the
# same with the open's success.
found_lines() {
    printf '%s\n' "Successfully created device information set." "DevDetails->cbSize = $cb_size" "   $1"
}
opened_lines() {
    found_lines "$1"
    echo "Success creating device"
}

report() {   # name ok [detail...]
    local name=$1 ok=$2
    shift 2
    if [ "$ok" = 1 ]; then
        echo "PASS $lane/$name"
        passed=$((passed + 1))
    else
        echo "FAIL $lane/$name"
        printf '%s\n' "$@" | sed 's/^/    /'
        failed=$((failed + 1))
    fi
}

# Runs the exe under strace with stdout a pipe or a file; its output lands
# in $tmp/actual, and $tmp/strace records every write.
#   run_traced pipe|file <tool arguments...>
run_traced() {
    local mode=$1 out=$tmp/stdout.$1 reader status tries
    shift
    rm -f "$out"
    if [ "$mode" = pipe ]; then
        # A named pipe, so that strace -y names it in each write it makes.
        mkfifo "$out"
        cat "$out" >"$tmp/actual" &
        reader=$!
    fi
    # The timeout is outside strace: strace -f also waits for any Wine
    # service the run happens to start. --seccomp-bpf keeps the tracing cheap.
    timeout 120 strace --seccomp-bpf -f -qq -y -e trace=write,writev,pwrite64 -o "$tmp/strace" \
        "${wine_cmd[@]}" "$tool_exe" "$@" </dev/null >"$out" 2>"$tmp/stderr"
    status=$?
    if [ "$mode" = pipe ]; then
        # A Wine process that kept the pipe open would hold the reader forever.
        for ((tries = 0; tries < 50; tries++)); do
            kill -0 "$reader" 2>/dev/null || break
            sleep 0.1
        done
        kill "$reader" 2>/dev/null
        wait "$reader" 2>/dev/null
    else
        cp "$out" "$tmp/actual"
    fi
    return $status
}

# case <name> <expected text> -- <tool arguments...>
# The tool runs with stdout a pipe, then a file. Each time the C runtime
# buffers the run's output and hands it on whole, in exactly one write.
run_case() {
    local name=$1 expected=$2 status ok=1 detail=() mode writes
    shift 3
    # $(lines ...) lost the final line feed; every expected output ends in one.
    printf '%s\n' "$expected" >"$tmp/expected"
    for mode in pipe file; do
        run_traced $mode "$@"
        status=$?
        if ! cmp -s "$tmp/expected" "$tmp/actual"; then
            ok=0
            detail+=("$mode, args:$(printf ' [%s]' "$@")")
            mapfile -t -O ${#detail[@]} detail < <(diff -u --label expected --label actual \
                "$tmp/expected" "$tmp/actual" | sed 's/\r/\\r/g')
        fi
        if [ "$status" -ne 0 ]; then
            ok=0
            detail+=("$mode: exit status $status, expected 0")
        fi
        writes=$(grep -c -F "<$tmp/stdout.$mode>" "$tmp/strace")
        if [ "$writes" -ne 1 ]; then
            ok=0
            detail+=("$mode: the output came in $writes writes, not 1")
        fi
        # Every message belongs on standard output.
        if [ -s "$tmp/stderr" ]; then
            ok=0
            mapfile -t -O ${#detail[@]} detail < <(sed "s/^/$mode stderr: /" "$tmp/stderr")
        fi
    done
    report "$name" $ok "${detail[@]}"
    [ -n "${SIM_EXE:-}" ] && sim_case "$name" "$@"
}

# The same case on the simulated machine: Wine's output without its CRs, and
# with the 32-bit size of the detail record, which the simulated machine has.
sim_case() {
    local name=$1 status ok=1 detail=()
    shift
    LEDSIM_SCENARIO=$tmp/sim.scn LEDSIM_STATE=$tmp/sim.state "$SIM_EXE" "$@" \
        >"$tmp/sim.actual" 2>"$tmp/sim.stderr" </dev/null
    status=$?
    tr -d '\r' <"$tmp/actual" | sed "s/^DevDetails->cbSize = $cb_size\$/DevDetails->cbSize = 6/" >"$tmp/wine.lf"
    if ! cmp -s "$tmp/wine.lf" "$tmp/sim.actual"; then
        ok=0
        detail+=("args:$(printf ' [%s]' "$@")")
        mapfile -t -O ${#detail[@]} detail < <(diff -u --label wine --label simulated \
            "$tmp/wine.lf" "$tmp/sim.actual")
    fi
    [ "$status" -ne 0 ] && { ok=0; detail+=("simulated: exit status $status"); }
    if [ -s "$tmp/sim.stderr" ]; then
        ok=0
        mapfile -t -O ${#detail[@]} detail < <(sed 's/^/simulated stderr: /' "$tmp/sim.stderr")
    fi
    report "sim-$name" $ok "${detail[@]}"
}

# check <name> <expected stdout> -- <command...>: a driver-side check, not the tool.
check() {
    local name=$1 expected=$2 actual
    shift 3
    actual=$("$@")
    if [ "$actual" = "$expected" ]; then
        report "$name" 1
    else
        report "$name" 0 "$*" "expected: $expected" "actual:   $actual"
    fi
}

# Setup step; a failure ends this prefix's run.
step() {
    local name=$1 out
    shift
    if out=$("$@" 2>&1); then return 0; fi
    report "setup-$name" 0 "$*" "$out"
    return 1
}

# A new persistent wineserver: -p does nothing while the old one still winds
# down, and then every later run would start and stop a server (and the
# driver) of its own.
restart() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    wineserver -p >/dev/null 2>&1 </dev/null
}

# Waits until ledcheck lists $1 devices and the first one answers "$2"
# (a read of its three levels), or just lists them when $2 is empty. A
# loaded machine has taken over 20 s to start a driver after a restart.
wait_devices() {
    local count=$1 levels=$2 tries
    for ((tries = 0; tries < 120; tries++)); do
        if [ "$(wine_run "$ledcheck" list | grep -c '^[\]')" -eq "$count" ] &&
           { [ -z "$levels" ] || [ "$(wine_run "$ledcheck" get 0)" = "$levels" ]; }; then
            return 0
        fi
        sleep 0.5
    done
    echo "devices not ready: want $count listed, first reading '$levels'"
    wine_run "$ledcheck" list
    return 1
}

first_path() { wine_run "$ledcheck" list | head -n 1; }

# --- one prefix ----------------------------------------------------------

run_lane() {
    local inst=${helpers[$cpu]}/ledinst.exe path first other n
    local -a found opened sim_device_lines
    local -A preset

    # A service installed in the wineserver session that created the prefix
    # does not start; begin with a fresh session.
    step wineboot wine_run wineboot -i || return
    restart
    step wineboot wine_run wineboot || return

    # No LED device: discovery fails and the command line is never looked at.
    sim_machine "# no LED device"
    sim_forget
    run_case no-device-no-args "$(lines "${no_device[@]}")" --
    run_case no-device-read "$(lines "${no_device[@]}")" -- r green
    run_case no-device-bad-args "$(lines "${no_device[@]}")" -- x purple 999 extra

    # One device.  128 and 255 would print negative if the byte were signed.
    step install wine_run "$inst" install "${helpers[$cpu]}/ledstub.inf" "Green=17,Blue=128,Keyback=255" || return
    step device-ready wait_devices 1 "17 128 255" || return
    path=$(first_path)
    case "$path" in
        '\\?\root#ledstub#0000#{702eda9e-7390-4cfe-aea2-6f85676e3d22}') ;;
        *) report setup-path 0 "unexpected interface path: $path"; return ;;
    esac
    check driver-contract "driver contract ok" -- wine_run "$ledcheck" contract 0
    sim_machine "$(led_line "$path" 17 128 255)"
    sim_forget

    mapfile -t opened < <(opened_lines "$path")
    local -a reads=(
        "read-green|17|r green"
        "read-blue|128|r blue"
        "read-keyback|255|r keyback"
        "read-ignores-brightness|17|r green 300"
        "read-word-and-capitals|128|read BLUE"
    )
    local row name value args
    for row in "${reads[@]}"; do
        IFS='|' read -r name value args <<<"$row"
        # shellcheck disable=SC2086  # args are plain words
        run_case "$name" "$(lines "${opened[@]}" "Brightness == $value")" -- $args
    done

    # Each write is read back by the next run; distinct values per channel
    # show a write that lands on the wrong channel.
    local -a writes=(
        "blue|0"
        "green|255"
        "keyback|7"
    )
    for row in "${writes[@]}"; do
        IFS='|' read -r name value <<<"$row"
        run_case "write-$name-$value" \
            "$(lines "${opened[@]}" "brightness = $value" "DeviceIoControl Success")" -- w "$name" "$value"
        run_case "read-back-$name-$value" "$(lines "${opened[@]}" "Brightness == $value")" -- r "$name"
    done
    check levels-after-writes "255 0 7" -- wine_run "$ledcheck" get 0

    # Refused command lines: the open has happened, so the four head lines
    # come first; then one diagnostic and the usage text.
    local -a refusals=(
        "no-args|argc = 1|"
        "one-arg|argc = 2|r"
        "five-args|argc = 6|r green 1 2 3"
        "write-without-brightness|argc = 3|w green"
        "access-x|reading or writing?|x green"
        "access-capital-R|reading or writing?|R green"
        "access-capital-W|reading or writing?|W blue 5"
        "colour-red-before-brightness|Invalid Color|w red 999"
        "colour-greenish|Invalid Color|r greenish"
        "brightness-256|Invalid Brightness|w blue 256"
        "brightness-minus-1|Invalid Brightness|w blue -1"
        "brightness-saturating|Invalid Brightness|w keyback 99999999999"
        "brightness-300-keyback|Invalid Brightness|w keyback 300"
    )
    local diag
    for row in "${refusals[@]}"; do
        IFS='|' read -r name diag args <<<"$row"
        # shellcheck disable=SC2086
        run_case "refuse-$name" "$(lines "${opened[@]}" "$diag" "${usage_lines[@]}")" -- $args
    done
    # Words the shell would lose: an empty word, a blank inside quotes.
    run_case refuse-access-empty-word \
        "$(lines "${opened[@]}" "reading or writing?" "${usage_lines[@]}")" -- "" green
    run_case refuse-colour-trailing-blank \
        "$(lines "${opened[@]}" "Invalid Color" "${usage_lines[@]}")" -- r "green "
    check levels-after-refusals "255 0 7" -- wine_run "$ledcheck" get 0

    # Accepted brightness texts, converted as strtol does.
    run_case write-empty-word-is-0 \
        "$(lines "${opened[@]}" "brightness = 0" "DeviceIoControl Success")" -- w green ""
    run_case write-12abc-is-12 \
        "$(lines "${opened[@]}" "brightness = 12" "DeviceIoControl Success")" -- w keyback 12abc
    run_case write-leading-blanks \
        "$(lines "${opened[@]}" "brightness = 9" "DeviceIoControl Success")" -- w blue "  9"
    check levels-after-conversions "0 9 12" -- wine_run "$ledcheck" get 0

    # Two devices; a restart reloads the driver, so both start at their presets.
    step install-second wine_run "$inst" install "${helpers[$cpu]}/ledstub.inf" "Green=99,Blue=98,Keyback=97" || return
    restart
    step devices-ready wait_devices 2 "" || return
    preset[0000]="17 128 255"
    preset[0001]="99 98 97"
    path=$(first_path)
    first=${path#*#ledstub#}
    first=${first%%#*}
    if [ "$first" = 0000 ]; then other=0001; else other=0000; fi
    step first-ready wait_devices 2 "${preset[$first]}" || return
    local second
    second=$(wine_run "$ledcheck" list | sed -n 2p)
    # shellcheck disable=SC2086  # presets are three plain numbers
    sim_device_lines=("$(led_line "$path" ${preset[$first]})" "$(led_line "$second" ${preset[$other]})")
    sim_machine "${sim_device_lines[@]}"
    sim_forget
    mapfile -t opened < <(opened_lines "$path")
    run_case two-devices-read-first \
        "$(lines "${opened[@]}" "Brightness == ${preset[$first]%% *}")" -- r green
    run_case two-devices-write-first \
        "$(lines "${opened[@]}" "brightness = 42" "DeviceIoControl Success")" -- w keyback 42
    local first_levels="${preset[$first]% *} 42"
    check two-devices-first-written "$first_levels" -- wine_run "$ledcheck" get 0
    check two-devices-second-untouched "${preset[$other]}" -- wine_run "$ledcheck" get 1

    # Control requests refused by the driver; the NTSTATUS reaches the tool
    # as the Win32 code Windows maps it to.
    n=$((10#$first))
    local -a faults=(
        "io-device-error|0xC0000185|1117|r green"
        "not-connected|0xC000009D|1167|r keyback"
        "invalid-device-request|0xC0000010|1|r blue"
        "io-device-error-write|0xC0000185|1117|w blue 5"
    )
    local status code
    local -a before
    for row in "${faults[@]}"; do
        IFS='|' read -r name status code args <<<"$row"
        step "fault-$name" wine_run "$inst" set "$n" "IoctlStatus=$status" || return
        sim_machine "${sim_device_lines[0]} ioctl-error=$code" "${sim_device_lines[1]}"
        before=()
        [ "${args%% *}" = w ] && before=("brightness = ${args##* }")
        # shellcheck disable=SC2086
        run_case "ioctl-$name" \
            "$(lines "${opened[@]}" "${before[@]}" "ERROR calling DeviceIoControl, GLE = $code")" -- $args
    done
    step fault-clear wine_run "$inst" set "$n" IoctlStatus=0 || return
    sim_machine "${sim_device_lines[@]}"

    # The open refused by the driver.  Wine 8.0 opens the file before the
    # driver sees IRP_MJ_CREATE and ignores its status: the open succeeds and
    # ledcheck reads the levels.  That, and only that, skips the case.
    step create-status wine_run "$inst" set "$n" CreateStatus=0xC0000022 || return
    mapfile -t found < <(found_lines "$path")
    local refused
    refused=$(wine_run "$ledcheck" get 0)
    case $refused in
        "ledcheck: open failed, error 5")
            run_case open-refused-access-denied \
                "$(lines "${found[@]}" "ERROR creating device, error 5")" -- r green ;;
        "$first_levels")
            echo "SKIP $lane/open-refused-access-denied: this Wine ignores the driver's IRP_MJ_CREATE status" ;;
        *)
            report open-refused-access-denied 0 "ledcheck get 0, the driver refusing the open:" \
                "expected: ledcheck: open failed, error 5 (or, where Wine ignores the refusal: $first_levels)" \
                "actual:   $refused" ;;
    esac
    step create-status-clear wine_run "$inst" set "$n" CreateStatus=0 || return

    # The interface stays listed but its path is gone, as when the device
    # leaves between discovery and open: STATUS_OBJECT_NAME_NOT_FOUND, error 2.
    # The command line is not looked at once the open has failed.
    step drop-link wine_run "$inst" set "$n" DropLink=1 || return
    restart
    step listed-unopenable wait_devices 2 "" || return
    sim_machine "${sim_device_lines[0]} open-error=2" "${sim_device_lines[1]}"
    run_case open-fails-path-gone "$(lines "${found[@]}" "ERROR creating device, error 2")" -- r green
    run_case open-fails-before-args "$(lines "${found[@]}" "ERROR creating device, error 2")" -- x

    step remove wine_run "$inst" remove || return
    step removed wait_devices 0 "" || return
    sim_machine "# every device removed"
    run_case removed-no-device "$(lines "${no_device[@]}")" -- r green

    wineserver -k >/dev/null 2>&1
}

for lane in $lanes; do
    read -r arch cpu tool_cpu <<<"$(lane_settings "$lane")"
    export WINEARCH=$arch WINEPREFIX=$tmp/pfx-$lane
    ledcheck=${helpers[$tool_cpu]}/ledcheck.exe
    if [ "$tool_cpu" = x86_64 ]; then
        # Debian's wine picks the 32-bit loader whenever wine32 is installed;
        # its wrapper runs this one where wine32 is missing. Driver, ledcheck
        # and tool are all 64-bit here. Where the kernel runs i386 code and
        # wine32 is installed, wineboot still gives the prefix a 32-bit part
        # (a syswow64 of 783 files under Wine 8.0, where a 32-bit exe runs);
        # only where the kernel refuses i386 code or wine32 is missing does
        # the lane show that the x64 exe needs none, as without WoW64.
        tool_exe=$exe_x86_64 cb_size=8 wine_cmd=("$wine_dir/wine64")
        export WINELOADER=$wine_dir/wine64
    else
        tool_exe=$exe_i686 cb_size=6 wine_cmd=(wine)
        unset WINELOADER
    fi
    start=$(date +%s)
    run_lane
    echo "# $lane: $(($(date +%s) - start)) s"
done

summary
