#!/usr/bin/env bash
# Installs the Debian packages a stage needs, when they are missing.
#   scripts/install-deps.sh STAGE...   (build, or a stage of scripts/test.sh: default, asan,
#                                       valgrind, tidy, fuzz, windows)
# Exit 0: all there. Exit 3: missing and cannot be installed here (not root).
# Exit 1: a step failed (the windows stage's fetch of qemu-i386 included);
# apt's own reason is on stderr. An index that apt-get update cannot fetch
# does not stop it: it says which, and installs from the indexes it has.
set -euo pipefail

packages_for() {
    case "$1" in
        # What building the tool takes (the README's first command); every
        # stage builds it.
        build) echo "g++ cmake ninja-build libsqlite3-dev" ;;
        # The unit tests' library, python3 for the tests that run the tool, the
        # format check, and node and npm for the workflow validator unless npx
        # is there already (NodeSource's nodejs carries its own npm and
        # conflicts with Debian's).
        default) echo "$(packages_for asan) clang-format$(command -v npx >/dev/null || echo " nodejs npm")" ;;
        asan) echo "$(packages_for build) libgtest-dev python3" ;;
        valgrind) echo "$(packages_for asan) valgrind" ;;
        # python3 too: configuring looks for it, for the tests that run the tool.
        tidy) echo "$(packages_for build) clang-tidy clang-format python3" ;;
        fuzz) echo "$(packages_for build) clang libclang-rt-14-dev" ;;
        # The cross toolchains and the PE reader; Wine, with the i386
        # architecture for the 32-bit exe, the DDK headers and strace; clang-cl
        # and Wine's MSVC-style headers for the MSVC-mode compile; valgrind
        # for the bench.
        windows) echo "$(packages_for build) g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64" \
            "binutils-mingw-w64-x86-64 python3-pefile wine wine32:i386 wine64 gcc-mingw-w64-i686" \
            "gcc-mingw-w64-x86-64 mingw-w64-common strace clang libwine-dev valgrind" ;;
        *) echo "install-deps: unknown stage '$1'" >&2; exit 2 ;;
    esac
}

# apt-get update, retried: a mirror in mid-sync serves an index that does not
# match its Release file for a while. Indexes still failing after the last
# try are named, and the install goes on with the old ones, as apt does.
failed_indexes=""
update_indexes() {
    local try log
    log=$(mktemp)
    for try in 1 2 3; do
        apt-get update -qq >"$log" 2>&1 && break
        [ "$try" -eq 3 ] || sleep 5
    done
    failed_indexes=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$log" | paste -sd ' ')
    if [ "$try" -eq 3 ] && grep -q '^E:' "$log"; then
        echo "install-deps: apt-get update failed 3 times; going on with the indexes apt has." \
            "Failed: ${failed_indexes:-$(grep -m1 '^E:' "$log")}" >&2
    fi
    rm -f "$log"
}

missing=()
for stage in "$@"; do
    # A stage it does not know stops it (the list is a command substitution,
    # which set -e does not watch).
    packages=$(packages_for "$stage") || exit 2
    for package in $packages; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
            missing+=("$package")
        fi
    done
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: missing ${missing[*]} and not root to install them" >&2
        exit 3
    fi
    echo "install-deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    update_indexes
    if ! apt-get install -y -qq "${missing[@]}" >/dev/null; then
        # A Multi-Arch: same library must have one version on every
        # architecture: with the security suite's index of one architecture
        # missing, its packages there lag behind the others'. Installing from
        # main alone, with the security suite pinned below it, keeps them equal.
        case "$failed_indexes" in
            */dists/*-security/*) ;;
            *) exit 1 ;;
        esac
        security="$(. /etc/os-release && echo "$VERSION_CODENAME")-security"
        echo "install-deps: retrying with $security below main, as some of its indexes are missing" >&2
        preferences=$(mktemp)
        trap 'rm -f "$preferences"' EXIT
        printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n' "$security" >"$preferences"
        apt-get install -y -qq -o Dir::Etc::preferences="$preferences" "${missing[@]}" >/dev/null || exit 1
    fi
fi

# On a kernel that runs no i386 code, Wine's 32-bit loader runs under
# qemu-i386 of QEMU 10, which bookworm has only in backports: one file,
# fetched once into a cache, nothing installed.
case " $* " in
    *" windows "*) "$(dirname "$0")/fetch-qemu-i386.sh" ;;
esac
