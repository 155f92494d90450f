#!/usr/bin/env bash
# Compiles every source of the tool the way the MSVC build sees it: clang-cl
# in MSVC mode for 32-bit Windows, the flags and definitions of the CMake MSVC
# path (Release), warnings as errors, against Wine's Windows and CRT headers.
# Compile only: there is no MSVC runtime to link against here.
# Exit 77 (skipped) when clang-cl or the headers are missing, unless CI is set.
set -uo pipefail
source_dir=${1:?source directory}
cd "$source_dir" || exit 1
source tests/missing_tools.sh

clang_cl=$(command -v clang-cl-14 || command -v clang-cl)
headers=/usr/include/wine/wine
missing=""
[ -n "$clang_cl" ] || missing+=" clang"
[ -f "$headers/windows/windows.h" ] || missing+=" libwine-dev"
[ -z "$missing" ] || missing_tools "the MSVC-mode compile" "$missing"

# On i386 Wine's winnt.h defines the 64-bit and pointer Interlocked functions
# inline under their intrinsic names, which clang-cl holds as builtins on every
# x86 target, so it rejects the definitions. -fno-builtin-NAME does not reach
# these (they are language builtins, not library ones) and -fno-ms-extensions
# would turn off much of the MSVC mode under test, so only these eight names,
# which the tool does not use, are renamed.
renamed=""
for name in And64 CompareExchangePointer Decrement64 ExchangeAdd64 ExchangePointer Increment64 Or64 Xor64; do
    renamed+=" -D_Interlocked$name=WineInterlocked$name"
done

status=0
for source in src/cli/*.cpp src/device/*.cpp; do
    # shellcheck disable=SC2086 # $renamed is a list of options
    "$clang_cl" --target=i686-pc-windows-msvc /Zs /W4 /WX /GR- /EHs-c- /std:c++17 \
        -DWIN32 -D_WINDOWS -DNDEBUG -DUNICODE -D_UNICODE -D_WIN32_WINNT=0x0600 -DWINVER=0x0600 \
        -D_HAS_EXCEPTIONS=0 $renamed -imsvc "$headers/msvcrt" -imsvc "$headers/windows" -Isrc -Iinc \
        "$source" || { echo "FAIL: $source does not compile in MSVC mode"; status=1; }
done
[ "$status" -eq 0 ] && echo "ok: every source compiles in MSVC mode ($("$clang_cl" --version | head -n1))"
exit "$status"
