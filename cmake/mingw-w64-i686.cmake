# Cross-compiling the 32-bit Windows exe with mingw-w64:
#   cmake --preset mingw   (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake)
set(MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
