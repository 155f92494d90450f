#!/usr/bin/env bash
# Installs the Debian packages a stage needs, when they are missing.
#   scripts/install-deps.sh STAGE...   (build, or a stage of scripts/test.sh: default, asan,
#                                       valgrind, tidy, fuzz, windows)
# Exit 0: all there. Exit 3: missing and cannot be installed here (not root).
# Exit 1: a step failed (the windows stage's fetch of qemu-i386 included).
set -euo pipefail

packages_for() {
    case "$1" in
        # What building the tool takes (the README's first command); every
        # stage builds it.
        build) echo "g++ cmake make libsqlite3-dev" ;;
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
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# On a kernel that runs no i386 code, Wine's 32-bit loader runs under
# qemu-i386 of QEMU 10, which bookworm has only in backports: one file,
# fetched once into a cache, nothing installed.
case " $* " in
    *" windows "*) "$(dirname "$0")/fetch-qemu-i386.sh" ;;
esac
