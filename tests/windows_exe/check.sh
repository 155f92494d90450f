#!/usr/bin/env bash
# Checks the cross-built Windows exe that the fixture windows_exe built.
#   check.sh <Tovrin_LED_Test.exe>
# Exit 77 (skipped) when the cross toolchain is missing, unless CI is set.
set -uo pipefail
exe=${1:?Windows exe}
here=$(dirname "$0")
source "$here/../missing_tools.sh"

missing=""
command -v i686-w64-mingw32-g++ >/dev/null || missing+=" g++-mingw-w64-i686"
/usr/bin/python3 -c "import pefile" 2>/dev/null || missing+=" python3-pefile"
[ -z "$missing" ] || missing_tools "the Windows exe check" "$missing"

# The detail record's size the tool prints: 6 in the 32-bit SDK as on Linux.
printf '#include <windows.h>\n#include <setupapi.h>\nstatic_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6, "detail record is not 6 bytes");\n' |
    i686-w64-mingw32-g++ -x c++ -fsyntax-only - || { echo "FAIL: SP_DEVICE_INTERFACE_DETAIL_DATA_W is not 6 bytes in the 32-bit SDK"; exit 1; }

/usr/bin/python3 "$here/check_windows_exe.py" "$exe"
