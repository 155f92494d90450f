#include "check/interface_discovery.h"

#include <setupapi.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "device/device_discovery.h"

// The detail record with room for a path of CHECK_PATH_CHARS.
union InterfaceDetail {
    SP_DEVICE_INTERFACE_DETAIL_DATA_W record;
    BYTE room[offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + CHECK_PATH_CHARS * sizeof(WCHAR)];
};

// A path as plain text: what is not ASCII shows as '?'.
static void PrintPath(const WCHAR* path)
{
    for (const WCHAR* unit = path; *unit != 0; unit++) {
        putchar(*unit >= 0x20 && *unit < 0x7F ? static_cast<char>(*unit) : '?');
    }
}

// Reports interface `index` of the set, and notes it where the tool opens
// it, or the checker checks it.
static void ReportInterface(CheckRun* run, HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, DWORD index)
{
    InterfaceDetail detail;
    memset(&detail, 0, sizeof(detail));
    detail.record.cbSize = sizeof(detail.record);
    bool read =
        SetupDiGetDeviceInterfaceDetailW(set, data, &detail.record, sizeof(detail), NULL, NULL) != FALSE;
    DWORD error = read ? ERROR_SUCCESS : GetLastError();
    size_t length = read ? static_cast<size_t>(lstrlenW(detail.record.DevicePath)) : 0;
    bool fits = read && length < DEVICE_PATH_CHARS;
    bool toolsPick = fits && run->toolIndex == NO_INTERFACE;
    bool checked = run->options.interfaceGiven ? index == run->options.interfaceIndex : toolsPick;

    BeginCheckLine(&run->report, fits ? Pass : Warn, IdDiscovery);
    printf("interface %lu: ", index);
    if (!read) {
        printf("path not read, error %lu%s", error,
               error == ERROR_INSUFFICIENT_BUFFER ? " (over the checker's 1023 characters)" : "");
    } else {
        PrintPath(detail.record.DevicePath);
        printf(" (%u characters, %s the tool's %u)", static_cast<unsigned>(length), fits ? "within" : "over",
               static_cast<unsigned>(DEVICE_PATH_CHARS - 1));
    }
    printf("; %s%s; expects a path the tool can read and hold",
           toolsPick ? "the tool opens this one" : "the tool skips it", checked ? "; checked here" : "");
    EndCheckLine();

    if (toolsPick) {
        run->toolIndex = index;
    }
    if (checked && read) {
        run->checkedIndex = index;
        memcpy(run->path, detail.record.DevicePath, (length + 1) * sizeof(WCHAR));
    }
}

bool CheckDiscovery(CheckRun* run)
{
    const GUID interfaceClass = GUID_DEVINTERFACE_LED_VALUE;
    run->toolIndex = NO_INTERFACE;
    run->checkedIndex = NO_INTERFACE;

    HDEVINFO set = SetupDiGetClassDevsW(&interfaceClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        BeginCheckLine(&run->report, Fail, IdDiscovery);
        printf("SetupDiGetClassDevsW(LED class, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) failed, error %lu; "
               "expects the list of present LED interfaces",
               GetLastError());
        EndCheckLine();
        return false;
    }
    DWORD index = 0;
    DWORD error = ERROR_SUCCESS;
    for (;; index++) {
        SP_DEVICE_INTERFACE_DATA data;
        memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, NULL, &interfaceClass, index, &data)) {
            error = GetLastError();
            break;
        }
        ReportInterface(run, set, &data, index);
    }
    SetupDiDestroyDeviceInfoList(set);

    if (error != ERROR_NO_MORE_ITEMS) {
        BeginCheckLine(&run->report, Fail, IdDiscovery);
        printf("the list of present LED interfaces (SetupDiEnumDeviceInterfaces): error %lu after %lu "
               "interface(s); expects its end, ERROR_NO_MORE_ITEMS",
               error, index);
        EndCheckLine();
    }
    if (run->checkedIndex == NO_INTERFACE) {
        BeginCheckLine(&run->report, Fail, IdDiscovery);
        if (index == 0) {
            printf(
                "the present LED interfaces (SetupDiGetClassDevsW, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE): "
                "no LED interface found");
        } else if (run->options.interfaceGiven) {
            printf("no interface %lu whose path could be read", run->options.interfaceIndex);
        } else {
            printf("no interface the tool could open (--interface N checks another)");
        }
        printf("; expects a present LED device with its LED interface enabled");
        EndCheckLine();
    }
    return run->checkedIndex != NO_INTERFACE;
}
