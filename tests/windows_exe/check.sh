#!/usr/bin/env bash
# Checks the cross-built Windows exes and packages that the fixture
# windows_exe built.
#   check.sh <version> <32-bit Tovrin_LED_Test.exe> <x64 Tovrin_LED_Test.exe>
# <version> is the project's, from CMake. Exit 77 (skipped) when the cross
# toolchains are missing, unless CI is set.
set -uo pipefail
version=${1:?project version}
exe_x86=${2:?32-bit Windows exe}
exe_x64=${3:?x64 Windows exe}
here=$(dirname "$0")
source "$here/../missing_tools.sh"

missing=""
command -v i686-w64-mingw32-g++ >/dev/null || missing+=" g++-mingw-w64-i686"
command -v x86_64-w64-mingw32-g++ >/dev/null || missing+=" g++-mingw-w64-x86-64"
/usr/bin/python3 -c "import pefile" 2>/dev/null || missing+=" python3-pefile"
[ -z "$missing" ] || missing_tools "the Windows exe check" "$missing"

# The detail record's size, which the tool prints: 6 in the 32-bit SDK, as on
# Linux, and 8 in the x64 one (the only line in which the two exes differ).
status=0
for pair in i686:6 x86_64:8; do
    printf '#include <windows.h>\n#include <setupapi.h>\nstatic_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == %s, "");\n' "${pair#*:}" |
        "${pair%:*}-w64-mingw32-g++" -x c++ -fsyntax-only - ||
        { echo "FAIL: SP_DEVICE_INTERFACE_DETAIL_DATA_W is not ${pair#*:} bytes for ${pair%:*}"; status=1; }
done

# The exes name the commit they were built from wherever git can tell it.
identity=(--version "$version")
commit=$(git -C "$here" rev-parse HEAD 2>/dev/null) && identity+=(--commit "$commit")
# Each exe, and the package that cross_build.sh made beside it.
package() { echo "$(dirname "$1")/Tovrin_LED_Test-$version-$2.zip"; }
/usr/bin/python3 "$here/check_windows_exe.py" "${identity[@]}" "$exe_x86" "$(package "$exe_x86" win32)" ||
    status=1
/usr/bin/python3 "$here/check_windows_exe.py" --x64 "${identity[@]}" "$exe_x64" "$(package "$exe_x64" x64)" ||
    status=1
exit "$status"
