// Stand-in for the Windows SDK's <winioctl.h>: the control-code layout.
#pragma once

#include <windows.h>

// Exactly the SDK's macro, without casts, so that the Linux build complains
// about the same overflows the Windows build would.
#define CTL_CODE(DeviceType, Function, Method, Access)                                                       \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define METHOD_BUFFERED  0
#define METHOD_IN_DIRECT 1
#define METHOD_NEITHER   3

#define FILE_ANY_ACCESS  0
#define FILE_READ_ACCESS 1
