// CreateFileW, DeviceIoControl and CloseHandle on the simulated machine.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "led_device.h"
#include "machine.h"
#include "utf.h"

// Handle values look like the kernel's: small multiples of 4, never NULL.
static const uintptr_t HANDLE_BASE = 0x1000;
static const uintptr_t HANDLE_STEP = 4;

static bool EqualsIgnoringCase(const std::u16string& a, const char16_t* b)
{
    size_t i = 0;
    for (; i < a.size(); i++) {
        char16_t x = a[i];
        char16_t y = b[i];
        if (y == 0) {
            return false;
        }
        if (x >= 'a' && x <= 'z') {
            x = static_cast<char16_t>(x - 'a' + 'A');
        }
        if (y >= 'a' && y <= 'z') {
            y = static_cast<char16_t>(y - 'a' + 'A');
        }
        if (x != y) {
            return false;
        }
    }
    return b[i] == 0;
}

static size_t Utf16Length(const char16_t* text)
{
    size_t length = 0;
    while (text[length] != 0) {
        length++;
    }
    return length;
}

static SimHandle* FindHandle(SimMachine& machine, HANDLE handle)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value < HANDLE_BASE || (value - HANDLE_BASE) % HANDLE_STEP != 0) {
        return NULL;
    }
    size_t index = (value - HANDLE_BASE) / HANDLE_STEP;
    if (index >= machine.handles.size()) {
        return NULL;
    }
    return &machine.handles[index];
}

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    SimMachine& machine = TheMachine();
    std::string path = lpFileName != NULL ? Utf16ToUtf8(lpFileName, Utf16Length(lpFileName)) : "(null)";

    DWORD error = ERROR_FILE_NOT_FOUND;
    bool granted = false;
    size_t member = 0;
    if (lpFileName == NULL || dwCreationDisposition < CREATE_NEW ||
        dwCreationDisposition > TRUNCATE_EXISTING) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        // Only devices that are present have a name to open.
        for (size_t i = 0; i < machine.interfaces.size(); i++) {
            const SimInterface& iface = machine.interfaces[i];
            if (iface.present && EqualsIgnoringCase(iface.path, lpFileName)) {
                member = i;
                granted = !iface.openError.active; // The knob fails the open even with error 0.
                error = granted ? ERROR_SUCCESS : iface.openError.error;
                break;
            }
        }
    }

    HANDLE handle = INVALID_HANDLE_VALUE;
    if (granted) {
        SimHandle opened = {true, member, dwFlagsAndAttributes};
        machine.handles.push_back(opened);
        handle = reinterpret_cast<HANDLE>(HANDLE_BASE + HANDLE_STEP * (machine.handles.size() - 1));
    }
    RecordCall(machine, "CreateFileW path=%s access=0x%08X share=%u disposition=%u flags=0x%X error=%u",
               path.c_str(), dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes,
               error);
    SimSetLastError(error);
    return handle;
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                       LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    SimMachine& machine = TheMachine();
    char value[32] = "";
    if (lpInBuffer != NULL && nInBufferSize >= 1) {
        snprintf(value, sizeof(value), " value=%u", *static_cast<BYTE*>(lpInBuffer));
    }

    // Windows writes the count through this pointer: a synchronous call
    // without one faults in the caller's process.
    if (lpBytesReturned == NULL && lpOverlapped == NULL) {
        fprintf(stderr, "ledsim: DeviceIoControl without a bytes-returned counter\n");
        abort();
    }

    DWORD error = ERROR_SUCCESS;
    bool served = false;
    DWORD bytesReturned = 0;
    SimHandle* handle = FindHandle(machine, hDevice);
    if (handle == NULL || !handle->open) {
        error = ERROR_INVALID_HANDLE;
    } else if ((handle->flags & FILE_FLAG_OVERLAPPED) != 0 && lpOverlapped == NULL) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        SimInterface& device = machine.interfaces[handle->member];
        // The knob fails the request even with error 0, and serves nothing.
        error = device.ioctlError.active
                    ? device.ioctlError.error
                    : ServeLedControl(machine, &device, dwIoControlCode, lpInBuffer, nInBufferSize,
                                      lpOutBuffer, nOutBufferSize, &bytesReturned);
        served = !device.ioctlError.active && error == ERROR_SUCCESS;
    }

    RecordCall(machine, "DeviceIoControl code=0x%08X in=%u out=%u%s error=%u", dwIoControlCode, nInBufferSize,
               nOutBufferSize, value, error);
    if (!served) {
        SimSetLastError(error);
        return FALSE;
    }
    if (lpBytesReturned != NULL) {
        *lpBytesReturned = bytesReturned;
    }
    return TRUE;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    SimMachine& machine = TheMachine();
    SimHandle* handle = FindHandle(machine, hObject);
    DWORD error = ERROR_SUCCESS;
    if (handle == NULL || !handle->open) {
        error = ERROR_INVALID_HANDLE;
        machine.books.invalidCloses++;
    } else {
        handle->open = false;
    }
    RecordCall(machine, "CloseHandle error=%u", error);
    if (error != ERROR_SUCCESS) {
        SimSetLastError(error);
        return FALSE;
    }
    return TRUE;
}
