/*
 * Driver-side helper for the Wine end-to-end runs, independent of the tool:
 *
 *   ledcheck list              print the path of every present LED interface,
 *                              in SetupAPI's order, one a line
 *   ledcheck get <i>           print "green blue keyback" of interface i
 *
 * The runner waits with "list" until the devices of a case are there, and
 * checks their levels with "get".  Exit status: 0 ok, 2 usage or device
 * error.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "led_interface.h"

static const GUID led_interface_class = GUID_DEVINTERFACE_LED_VALUE;

/* Fills paths[] with up to max interface paths; returns how many. */
static int list_paths(WCHAR paths[][256], int max)
{
    SP_DEVICE_INTERFACE_DATA iface = {.cbSize = sizeof(iface)};
    HDEVINFO set;
    int n = 0;
    DWORD i;

    set = SetupDiGetClassDevsW(&led_interface_class, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return 0;
    for (i = 0; n < max && SetupDiEnumDeviceInterfaces(set, NULL, &led_interface_class, i, &iface); i++) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W d;
            char raw[sizeof(DWORD) + 256 * sizeof(WCHAR)];
        } detail;
        detail.d.cbSize = sizeof(detail.d);
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, &detail.d, sizeof(detail), NULL, NULL))
            lstrcpynW(paths[n++], detail.d.DevicePath, 256);
    }
    SetupDiDestroyDeviceInfoList(set);
    return n;
}

/* Opened the way the tool must open it. */
static HANDLE open_index(int index)
{
    WCHAR paths[16][256];
    HANDLE h = INVALID_HANDLE_VALUE;

    if (index < 0 || index >= list_paths(paths, 16))
        SetLastError(ERROR_FILE_NOT_FOUND);
    else
        h = CreateFileW(paths[index], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        fprintf(stderr, "ledcheck: open failed, error %lu\n", GetLastError());
    return h;
}

/* One exchange; returns 0 or the Win32 error.  *returned gets the byte count. */
static DWORD exchange(HANDLE h, DWORD code, BYTE* in, DWORD in_len, BYTE* out, DWORD out_len, DWORD* returned)
{
    *returned = 0xDEAD;
    SetLastError(0);
    return DeviceIoControl(h, code, in_len ? in : NULL, in_len, out_len ? out : NULL, out_len, returned, NULL)
               ? 0
               : GetLastError();
}

/* Returns 0, or the error of the first failed read (-1 for a wrong byte count). */
static DWORD get_levels(HANDLE h, BYTE level[LED_CHANNEL_COUNT])
{
    DWORD returned, error;
    int c;
    for (c = 0; c < LED_CHANNEL_COUNT; c++) {
        if ((error = exchange(h, IOCTL_LED_CODE(c, 0), NULL, 0, &level[c], 1, &returned)))
            return error;
        if (returned != 1)
            return (DWORD)-1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    WCHAR paths[16][256];
    BYTE level[LED_CHANNEL_COUNT];
    DWORD error;
    HANDLE h;
    int n, i;

    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 2 && !strcmp(argv[1], "list")) {
        n = list_paths(paths, 16);
        for (i = 0; i < n; i++)
            printf("%ls\n", paths[i]);
        return 0;
    }
    if (argc == 3 && !strcmp(argv[1], "get")) {
        if ((h = open_index(atoi(argv[2]))) == INVALID_HANDLE_VALUE)
            return 2;
        error = get_levels(h, level);
        if (!error)
            printf("%u %u %u\n", level[0], level[1], level[2]);
        else
            fprintf(stderr, "ledcheck: read failed, error %ld\n", (long)error);
        CloseHandle(h);
        return error ? 2 : 0;
    }
    fprintf(stderr, "usage: ledcheck list | get <i>\n");
    return 2;
}
