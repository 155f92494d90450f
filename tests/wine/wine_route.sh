# shellcheck shell=bash
# Sourced: how this machine runs Wine's 32-bit programs. Used by
# wine_session.py, and by scripts/fetch-qemu-i386.sh for where qemu-i386 is
# kept.
#
# Wine starts a 32-bit program through its i386 Linux loader. A kernel that
# runs no i386 code refuses that loader ("Exec format error", status 126),
# and a 64-bit process cannot switch to 32-bit code there either. On such a
# kernel the loader runs under qemu-i386 in user mode, which must be QEMU 10
# or later: 7.2's treats MAP_FIXED_NOREPLACE as a hint, and Wine's start-up
# ends in "failed to map the shared user data". Nothing on the machine is
# changed for it (no binfmt_misc entry): the loader folders live in the
# caller's temporary folder and reach only the caller, through its PATH.
#
#   route=$(wine_i386_route) || <missing: $route names it>
#   [ "$route" = native ] || PATH=$(make_qemu_loader "$route" <folder>):$PATH
#   echo "# $(wine_route_line "$route")"

# Debian's Wine: the i386 loader wine, wine64, and the wineserver wrapper.
wine_dir=/usr/lib/wine

# Where scripts/fetch-qemu-i386.sh keeps qemu-i386: a system cache for root,
# the user's own cache otherwise.
qemu_i386_cache_dir() {
    if [ "$(id -u)" -eq 0 ]; then
        echo /var/cache/tovrin-led-test
    else
        echo "${XDG_CACHE_HOME:-$HOME/.cache}/tovrin-led-test"
    fi
}

# Prints the QEMU version of qemu-i386 $1 (e.g. 10.0.2); fails unless it runs
# and is 10 or later.
qemu_i386_version() {
    local line
    line=$("$1" --version 2>/dev/null) || return 1
    [[ $line =~ ^qemu-i386\ version\ ([0-9]+)(\.[0-9.]+)? ]] || return 1
    [ "${BASH_REMATCH[1]}" -ge 10 ] || return 1
    echo "${BASH_REMATCH[1]}${BASH_REMATCH[2]}"
}

# Succeeds unless the kernel refuses Wine's i386 loader as a format it cannot
# run. The loader must exist.
kernel_runs_i386() {
    "$wine_dir/wine" --version >/dev/null 2>&1
    [ $? -ne 126 ]
}

# Prints "native" where the kernel runs Wine's i386 loader, else the path of a
# usable qemu-i386: the cached one (root's or the user's), or one on PATH.
# Fails, printing what is missing, when there is neither.
wine_i386_route() {
    local qemu
    if [ ! -x "$wine_dir/wine" ]; then
        echo "wine32:i386 ($wine_dir/wine)"
        return 1
    fi
    if kernel_runs_i386; then
        echo native
        return 0
    fi
    for qemu in "$(qemu_i386_cache_dir)/qemu-i386" /var/cache/tovrin-led-test/qemu-i386 \
        "$(command -v qemu-i386)"; do
        if [ -n "$qemu" ] && qemu_i386_version "$qemu" >/dev/null; then
            echo "$qemu"
            return 0
        fi
    done
    echo "qemu-i386 of QEMU 10 or later, as this kernel runs no i386 code (scripts/install-deps.sh wine fetches it)"
    return 1
}

# make_qemu_loader <qemu-i386> <folder>: builds Wine's loaders under <folder>
# (which must not exist) so that every 32-bit Wine process, the ones Wine
# starts itself included, runs under <qemu-i386>. Prints the folder to put
# first on PATH, which holds wine and wine-stable (what wineboot calls).
#
# Wine finds its libraries and wineserver beside the running loader, in its
# own layout, and starts another process as <loader folder>/<basename of its
# argv[0]>, adding or removing "64" when the bitness changes (and as
# <folder>/wine when a 64-bit process starts a 32-bit exe). So there are two
# loader folders, each with a real copy of one loader, and every 32-bit name
# in either is a script that starts the i386 loader under qemu with argv[0]
# "wine-q". WINELOADERNOEXEC stops that loader's first re-exec of itself,
# which the kernel would refuse.
make_qemu_loader() {
    local qemu=$1 root=$2 bits lib32 lib64
    mkdir "$root" || return 1
    for bits in 32 64; do
        mkdir -p "$root/wine$bits/lib/wine" "$root/wine$bits/share" &&
        ln -s /usr/lib/i386-linux-gnu "$root/wine$bits/lib/i386-linux-gnu" &&
        ln -s /usr/lib/x86_64-linux-gnu "$root/wine$bits/lib/x86_64-linux-gnu" &&
        ln -s /usr/share/wine "$root/wine$bits/share/wine" &&
        ln -s "$wine_dir/wineserver" "$root/wine$bits/lib/wine/wineserver" || return 1
    done
    lib32=$root/wine32/lib/wine
    lib64=$root/wine64/lib/wine
    # Copies, not links: Wine takes its folder from the loader's real path.
    cp "$wine_dir/wine64" "$lib64/wine64" || return 1
    cp "$wine_dir/wine" "$lib32/wine" || return 1
    cat >"$lib64/wine" <<EOF || return 1
#!/bin/sh
export WINELOADERNOEXEC=1
exec '$qemu' -0 wine-q '$lib32/wine' "\$@"
EOF
    cp "$lib64/wine" "$lib32/wine-q" &&
    chmod +x "$lib64/wine" "$lib32/wine-q" &&
    ln -s wine "$lib64/wine-q" &&
    ln -s wine64 "$lib64/wine-q64" &&
    ln -s "$lib64/wine64" "$lib32/wine64" &&
    ln -s "$lib64/wine64" "$lib32/wine-q64" || return 1
    # wine64 answers what needs no Windows program.
    mkdir "$root/bin" || return 1
    cat >"$root/bin/wine" <<EOF || return 1
#!/bin/sh
case "\${1:-}" in --version | --help) exec '$lib64/wine64' "\$@" ;; esac
exec '$lib64/wine' "\$@"
EOF
    chmod +x "$root/bin/wine" &&
    ln -s wine "$root/bin/wine-stable" || return 1
    echo "$root/bin"
}

# One line saying how Wine runs 32-bit programs here, for route $1.
wine_route_line() {
    local version
    version=$("$wine_dir/wine64" --version 2>/dev/null)
    if [ "$1" = native ]; then
        echo "Wine: ${version:-wine}, 32-bit programs on its i386 loader"
    else
        echo "Wine: ${version:-wine}, 32-bit programs on its i386 loader under qemu-i386" \
            "$(qemu_i386_version "$1") ($1): this kernel runs no i386 code"
    fi
}
