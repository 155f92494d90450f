#include <stdio.h>

#include "check/checks.h"
#include "check/led_exchange.h"
#include "device/led_control.h"

static const char* const AGREED_OPEN = "CreateFileW(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | "
                                       "FILE_SHARE_WRITE, OPEN_EXISTING, synchronous)";

bool CheckOpen(CheckRun* run)
{
    run->device = OpenLedDevice(run->path);
    DWORD error = run->device == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    BeginCheckLine(&run->report, error == ERROR_SUCCESS ? Pass : Fail, IdOpen);
    printf("%s of interface %lu: ", AGREED_OPEN, run->checkedIndex);
    if (error == ERROR_SUCCESS) {
        printf("a handle");
    } else {
        printf("error %lu", error);
    }
    printf("; expects a handle, for this user, as the tool opens it");
    EndCheckLine();
    return error == ERROR_SUCCESS;
}

// How a green read fares on a handle opened another way: "opened, green
// read served", or where it stops.
static void PrintOtherOpen(const WCHAR* path, DWORD access, DWORD share, DWORD flags)
{
    HANDLE handle = CreateFileW(path, access, share, NULL, OPEN_EXISTING, flags, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        printf("open refused with %lu", GetLastError());
        return;
    }
    BYTE level = 0;
    DWORD returned = 0;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    LPOVERLAPPED pending = (flags & FILE_FLAG_OVERLAPPED) != 0 ? &overlapped : NULL;
    BOOL served = DeviceIoControl(handle, IOCTL_LED_GREEN_READ, NULL, 0, &level, 1, &returned, pending);
    DWORD error = served ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_PENDING) {
        served = GetOverlappedResult(handle, &overlapped, &returned, TRUE);
        error = served ? ERROR_SUCCESS : GetLastError();
    }
    if (served) {
        printf("opened, green read served");
    } else {
        printf("opened, green read refused with %lu", error);
    }
    if (overlapped.hEvent != NULL) {
        CloseHandle(overlapped.hEvent);
    }
    CloseHandle(handle);
}

void CheckOtherOpens(CheckRun* run)
{
    // Advice only: the contract names the tool's open and forbids no other.
    BeginCheckLine(&run->report, Pass, IdOpenOthers);
    printf("read-only open: ");
    PrintOtherOpen(run->path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_ATTRIBUTE_NORMAL);
    printf("; unshared open: ");
    PrintOtherOpen(run->path, GENERIC_READ | GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL);
    printf("; overlapped open: ");
    PrintOtherOpen(run->path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    printf("; advice only: the contract neither asks for these opens nor forbids them");
    EndCheckLine();
}

// What a level read on one handle after a write on another gives.
const int NOT_JUDGED = -1; // The write does not read back on its own handle.
const int NOT_READ = -2;   // The read on the other handle was refused.

// A write on one handle, read back on it and then on another.
static int ReadElsewhere(HANDLE writer, HANDLE reader, BYTE level)
{
    BYTE own = 0;
    BYTE other = 0;
    if (!WriteLevel(writer, 0, level) || !ReadLevel(writer, 0, &own) || own != level) {
        return NOT_JUDGED;
    }
    return ReadLevel(reader, 0, &other) ? other : NOT_READ;
}

static void PrintRead(int level)
{
    if (level == NOT_READ) {
        printf("a refused read");
    } else {
        printf("%d", level);
    }
}

static void ReportHandles(CheckRun* run, CheckId check, const char* sent, int first, BYTE firstLevel,
                          int second, BYTE secondLevel)
{
    bool judged = first != NOT_JUDGED && second != NOT_JUDGED;
    bool same = first == firstLevel && second == secondLevel;
    BeginCheckLine(&run->report, !judged ? Skip : same ? Pass : Fail, check);
    printf("%s: ", sent);
    if (!judged) {
        printf("a green write does not read back on its own handle (values.levels), so this cannot be told");
    } else {
        PrintRead(first);
        printf(", then ");
        PrintRead(second);
    }
    printf("; expects %u, then %u: levels belong to the device, not to a handle", firstLevel, secondLevel);
    EndCheckLine();
}

// A second agreed open, or a FAIL of the check that needs it.
static HANDLE OpenAnother(CheckRun* run, CheckId check)
{
    HANDLE handle = OpenLedDevice(run->path);
    if (handle == INVALID_HANDLE_VALUE) {
        BeginCheckLine(&run->report, Fail, check);
        printf("another %s while the checker's is open: error %lu; expects a handle, as the open shares "
               "reading and writing",
               AGREED_OPEN, GetLastError());
        EndCheckLine();
    }
    return handle;
}

void CheckHandles(CheckRun* run)
{
    const BYTE FIRST = 0x5A;
    const BYTE SECOND = 0xA5;
    HANDLE other = INVALID_HANDLE_VALUE;
    if (run->options.selected[IdHandlesShared] &&
        (other = OpenAnother(run, IdHandlesShared)) != INVALID_HANDLE_VALUE) {
        run->wrote = true;
        int first = ReadElsewhere(run->device, other, FIRST);
        int second = ReadElsewhere(other, run->device, SECOND);
        CloseHandle(other);
        ReportHandles(run, IdHandlesShared,
                      "green written on the checker's handle, read on a second agreed open; then written on "
                      "the second, read on the first",
                      first, FIRST, second, SECOND);
    }
    if (run->options.selected[IdHandlesReopen] &&
        (other = OpenAnother(run, IdHandlesReopen)) != INVALID_HANDLE_VALUE) {
        run->wrote = true;
        BYTE level = 0;
        bool readBack = WriteLevel(other, 0, FIRST) && ReadLevel(other, 0, &level) && level == FIRST;
        CloseHandle(other);
        int first = NOT_JUDGED;
        int second = NOT_JUDGED;
        if (readBack && (other = OpenAnother(run, IdHandlesReopen)) != INVALID_HANDLE_VALUE) {
            first = ReadLevel(other, 0, &level) ? level : NOT_READ;
            second = ReadLevel(run->device, 0, &level) ? level : NOT_READ;
            CloseHandle(other);
        }
        if (!readBack || other != INVALID_HANDLE_VALUE) {
            ReportHandles(run, IdHandlesReopen,
                          "green written on a second agreed open, which was closed; read on a third, then on "
                          "the checker's",
                          first, FIRST, second, FIRST);
        }
    }
}
