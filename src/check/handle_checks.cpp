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

const BYTE FIRST_LEVEL = 0x5A;
const BYTE SECOND_LEVEL = 0xA5;

// A write on the checker's handle read on a second agreed open, and back.
static void CheckSharedHandles(CheckRun* run)
{
    HANDLE other = OpenAnother(run, IdHandlesShared);
    if (other == INVALID_HANDLE_VALUE) {
        return;
    }
    int first = ReadElsewhere(run->device, other, FIRST_LEVEL);
    int second = ReadElsewhere(other, run->device, SECOND_LEVEL);
    CloseHandle(other);
    ReportHandles(run, IdHandlesShared,
                  "green written on the checker's handle, read on a second agreed open; then written on the "
                  "second, read on the first",
                  first, FIRST_LEVEL, second, SECOND_LEVEL);
}

// A write on an agreed open that is then closed, read on a new one and on
// the checker's.
static void CheckReopenedHandle(CheckRun* run)
{
    HANDLE closed = OpenAnother(run, IdHandlesReopen);
    if (closed == INVALID_HANDLE_VALUE) {
        return;
    }
    BYTE level = 0;
    bool readBack =
        WriteLevel(closed, 0, FIRST_LEVEL) && ReadLevel(closed, 0, &level) && level == FIRST_LEVEL;
    CloseHandle(closed);
    if (!readBack) {
        ReportHandles(run, IdHandlesReopen, "green written on a second agreed open", NOT_JUDGED, FIRST_LEVEL,
                      NOT_JUDGED, FIRST_LEVEL);
        return;
    }
    HANDLE reopened = OpenAnother(run, IdHandlesReopen);
    if (reopened == INVALID_HANDLE_VALUE) {
        return;
    }
    int first = ReadLevel(reopened, 0, &level) ? level : NOT_READ;
    int second = ReadLevel(run->device, 0, &level) ? level : NOT_READ;
    CloseHandle(reopened);
    ReportHandles(run, IdHandlesReopen,
                  "green written on a second agreed open, which was closed; read on a third, then on the "
                  "checker's",
                  first, FIRST_LEVEL, second, FIRST_LEVEL);
}

void CheckHandles(CheckRun* run)
{
    if (run->options.selected[IdHandlesShared]) {
        run->wrote = true;
        CheckSharedHandles(run);
    }
    if (run->options.selected[IdHandlesReopen]) {
        run->wrote = true;
        CheckReopenedHandle(run);
    }
}
