/*
 * Driver-side helper for the Wine end-to-end runs, independent of the tool:
 *
 *   ledcheck list              print the path of every present LED interface,
 *                              in SetupAPI's order, one a line
 *   ledcheck get <i>           print "green blue keyback" of interface i
 *   ledcheck contract <i>      check that interface i serves exactly the six
 *                              LED codes with one-byte payloads, refuses
 *                              everything else, and refuses handles not opened
 *                              the agreed way; restores the levels it found
 *
 * The runner takes expected device paths from "list" and checks the stand-in
 * driver with "contract" before trusting it to judge the tool.
 * Exit status: 0 ok, 1 a contract check failed, 2 usage or device error.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "led_interface.h"
#include "led_refusals.h"

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

static HANDLE open_index_as(int index, DWORD access, DWORD share, DWORD flags)
{
    WCHAR paths[16][256];

    if (index < 0 || index >= list_paths(paths, 16)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(paths[index], access, share, NULL, OPEN_EXISTING, flags, NULL);
}

/* Opened the way the tool must open it. */
static HANDLE open_index(int index)
{
    HANDLE h = open_index_as(index, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             FILE_ATTRIBUTE_NORMAL);
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
static DWORD get_levels(HANDLE h, BYTE level[3])
{
    DWORD returned, error;
    int c;
    for (c = 0; c < 3; c++) {
        if ((error = exchange(h, IOCTL_LED_CODE(c, 0), NULL, 0, &level[c], 1, &returned)))
            return error;
        if (returned != 1)
            return (DWORD)-1;
    }
    return 0;
}

/* Opens that stray from the agreed one must not get a working handle: on
 * Windows the open fails, under Wine (which ignores the driver's verdict on
 * the open) the requests on it do. */
static int stray_opens(int index)
{
    static const struct {
        const char* name;
        DWORD access, share, flags;
    } opens[] = {
        {"open without sharing", GENERIC_READ | GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL},
        {"open shared read only", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL},
        {"overlapped open", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED},
    };
    DWORD error, returned;
    BYTE out;
    size_t i;
    HANDLE h;
    int failures = 0;

    for (i = 0; i < sizeof(opens) / sizeof(opens[0]); i++) {
        h = open_index_as(index, opens[i].access, opens[i].share, opens[i].flags);
        if (h == INVALID_HANDLE_VALUE)
            error = GetLastError();
        else {
            OVERLAPPED ov = {0};
            ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
            SetLastError(0);
            if (DeviceIoControl(h, IOCTL_LED_GREEN_READ, NULL, 0, &out, 1, &returned,
                                (opens[i].flags & FILE_FLAG_OVERLAPPED) ? &ov : NULL))
                error = 0;
            else if ((error = GetLastError()) == ERROR_IO_PENDING)
                error = GetOverlappedResult(h, &ov, &returned, TRUE) ? 0 : GetLastError();
            CloseHandle(ov.hEvent);
            CloseHandle(h);
        }
        if (error != ERROR_ACCESS_DENIED) {
            printf("FAIL: %s: error %lu, expected %lu\n", opens[i].name, error, (DWORD)ERROR_ACCESS_DENIED);
            failures++;
        }
    }
    return failures;
}

static int contract(HANDLE h)
{
    static const BYTE patterns[][3] = {{0, 0, 0}, {255, 255, 255}, {0xA5, 0x01, 0x80}, {7, 200, 0}};
    BYTE saved[3], level[3], in[2] = {0x5A, 0x5A}, out[2];
    DWORD returned, error;
    size_t i;
    int c, failures = 0;

    if ((error = get_levels(h, saved))) {
        printf("FAIL: plain reads: error %lu\n", error);
        return 1;
    }

    for (i = 0; i < sizeof(LED_REFUSALS) / sizeof(LED_REFUSALS[0]); i++) {
        const struct LedRefusal* r = &LED_REFUSALS[i];
        error = exchange(h, r->code, in, r->inLength, out, r->outLength, &returned);
        if (error != LED_RULE_ERRORS[r->rule]) {
            printf("FAIL: %s (0x%08lX): error %lu, expected %lu\n", r->name, r->code, error,
                   LED_RULE_ERRORS[r->rule]);
            failures++;
        }
    }
    if (get_levels(h, level) || memcmp(level, saved, 3)) {
        printf("FAIL: a refused request changed a level\n");
        failures++;
    }

    /* Distinct values per channel, so a write landing on the wrong channel shows. */
    for (i = 0; i < sizeof(patterns) / sizeof(patterns[0]); i++) {
        for (c = 0; c < 3; c++)
            if ((error = exchange(h, IOCTL_LED_CODE(c, 1), (BYTE*)&patterns[i][c], 1, NULL, 0, &returned))) {
                printf("FAIL: write %u to channel %d: error %lu\n", patterns[i][c], c, error);
                failures++;
            }
        for (c = 0; c < 3; c++) {
            out[0] = (BYTE)~patterns[i][c];
            error = exchange(h, IOCTL_LED_CODE(c, 0), NULL, 0, out, 1, &returned);
            if (error || returned != 1 || out[0] != patterns[i][c]) {
                printf("FAIL: read channel %d: error %lu, %lu byte(s), value %u, expected %u\n", c, error,
                       returned, out[0], patterns[i][c]);
                failures++;
            }
        }
    }

    for (c = 0; c < 3; c++)
        exchange(h, IOCTL_LED_CODE(c, 1), &saved[c], 1, NULL, 0, &returned);
    return failures ? 1 : 0;
}

int main(int argc, char** argv)
{
    WCHAR paths[16][256];
    BYTE level[3];
    HANDLE h;
    int n, i, rc;

    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 2 && !strcmp(argv[1], "list")) {
        n = list_paths(paths, 16);
        for (i = 0; i < n; i++)
            printf("%ls\n", paths[i]);
        return 0;
    }
    if (argc == 3 && (!strcmp(argv[1], "get") || !strcmp(argv[1], "contract"))) {
        if ((h = open_index(atoi(argv[2]))) == INVALID_HANDLE_VALUE)
            return 2;
        if (argv[1][0] == 'g') {
            DWORD error = get_levels(h, level);
            if (!error)
                printf("%u %u %u\n", level[0], level[1], level[2]);
            else
                fprintf(stderr, "ledcheck: read failed, error %ld\n", (long)error);
            rc = error ? 2 : 0;
        } else {
            rc = contract(h) | (stray_opens(atoi(argv[2])) ? 1 : 0);
            if (!rc)
                printf("driver contract ok\n");
        }
        CloseHandle(h);
        return rc;
    }
    fprintf(stderr, "usage: ledcheck list | get <i> | contract <i>\n");
    return 2;
}
