#include "device/device_discovery.h"

#include <objbase.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "led_interface.h"

enum PathOutcome { PathFound, PathFailed, PathOutOfMemory };

static void PrintDetailError(DWORD error)
{
    printf("ERROR: Unable to retrieve device path (0x%08X).\n", static_cast<unsigned>(error));
}

// Characters of a path line that one print call carries; a longer path goes
// out in several calls, still whole.
const size_t PATH_LINE_PIECE = 512;

static bool IsShownUnit(const WCHAR* path, size_t at, size_t maxChars)
{
    return at < maxChars && path[at] != 0 && path[at] < 0x100;
}

// Narrows one UTF-16 unit at a time as the "C" locale does: units below 0x100
// become that byte. The line stops short at the first unit it cannot show,
// but always ends, so the next message starts a line of its own. One print
// call per line (per piece of a very long one), like every other message: a
// console shows each call's text as the call returns.
static void PrintDevicePathLine(const WCHAR* path, size_t maxChars)
{
    const char* lead = "   ";
    size_t next = 0;
    for (;;) {
        char piece[PATH_LINE_PIECE + 1];
        size_t length = 0;
        while (length < PATH_LINE_PIECE && IsShownUnit(path, next, maxChars)) {
            piece[length++] = static_cast<char>(path[next++]);
        }
        piece[length] = '\0';
        if (!IsShownUnit(path, next, maxChars)) {
            printf("%s%s\n", lead, piece);
            return;
        }
        printf("%s%s", lead, piece);
        lead = "";
    }
}

// A path that does not fit is refused whole: a truncated path would open
// some other object, or nothing.
static bool CopyDevicePath(const WCHAR* path, size_t maxChars, WCHAR (&devicePath)[DEVICE_PATH_CHARS])
{
    size_t length = 0;
    while (length < maxChars && path[length] != 0) {
        length++;
    }
    if (length >= DEVICE_PATH_CHARS) {
        return false;
    }
    memcpy(devicePath, path, length * sizeof(WCHAR));
    devicePath[length] = 0;
    return true;
}

static PathOutcome ReadInterfacePath(HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                     WCHAR (&devicePath)[DEVICE_PATH_CHARS])
{
    // The size query fails with ERROR_INSUFFICIENT_BUFFER when it works; any
    // other failure leaves no size worth trusting.
    DWORD requiredSize = 0;
    if (!SetupDiGetDeviceInterfaceDetailW(deviceInfoSet, interfaceData, NULL, 0, &requiredSize, NULL)) {
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            PrintDetailError(error);
            return PathFailed;
        }
    }

    // Never less than the record itself, whatever size was reported.
    DWORD bufferSize = requiredSize;
    if (bufferSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        bufferSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    }
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DevDetails =
        static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(malloc(bufferSize));
    if (DevDetails == NULL) {
        printf("Unable to allocate memory for buffer.  Stopping.\n");
        return PathOutOfMemory;
    }

    memset(DevDetails, 0, bufferSize);
    DevDetails->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    printf("DevDetails->cbSize = %u\n", static_cast<unsigned>(DevDetails->cbSize));

    PathOutcome outcome = PathFailed;
    if (!SetupDiGetDeviceInterfaceDetailW(deviceInfoSet, interfaceData, DevDetails, bufferSize, &requiredSize,
                                          NULL)) {
        PrintDetailError(GetLastError());
    } else {
        size_t maxChars =
            (bufferSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
        PrintDevicePathLine(DevDetails->DevicePath, maxChars);
        if (CopyDevicePath(DevDetails->DevicePath, maxChars, devicePath)) {
            outcome = PathFound;
        } else {
            PrintDetailError(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    free(DevDetails);
    return outcome;
}

bool FindDevicePath(WCHAR (&devicePath)[DEVICE_PATH_CHARS])
{
    GUID interfaceClass = {};
    CLSIDFromString(GUID_DEVINTERFACE_LED, &interfaceClass); // Constant text: cannot fail.

    HDEVINFO deviceInfoSet =
        SetupDiGetClassDevsW(&interfaceClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (deviceInfoSet == INVALID_HANDLE_VALUE) {
        printf("Unable to create device information set (Error 0x%08X)\n",
               static_cast<unsigned>(GetLastError()));
        return false;
    }
    printf("Successfully created device information set.\n");

    PathOutcome outcome = PathFailed;
    DWORD index = 0;
    while (outcome == PathFailed) {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        memset(&interfaceData, 0, sizeof(interfaceData));
        interfaceData.cbSize = sizeof(interfaceData);
        if (!SetupDiEnumDeviceInterfaces(deviceInfoSet, NULL, &interfaceClass, index, &interfaceData)) {
            DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_ITEMS) {
                printf("Error enumerating devices (0x%08X).\n", static_cast<unsigned>(error));
            }
            break;
        }
        outcome = ReadInterfacePath(deviceInfoSet, &interfaceData, devicePath);
        if (outcome == PathFailed) {
            index++;
        }
    }

    if (outcome != PathFound) {
        printf("Enumeration listing complete.  %d device(s) detected.\n", static_cast<int>(index));
    }
    SetupDiDestroyDeviceInfoList(deviceInfoSet);
    return outcome == PathFound;
}
