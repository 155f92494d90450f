// Stand-in for the Windows SDK's <windows.h>: only what the LED tool and this
// stand-in use, with the Windows names. DWORD, WCHAR (one UTF-16 code unit),
// GUID and, in <setupapi.h>, the detail record have their 32-bit Windows
// sizes, checked below; types that hold a pointer or a handle follow this
// machine's pointer size instead, so SP_DEVICE_INTERFACE_DATA is 32 bytes
// here against 28 in the 32-bit exe.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef char16_t WCHAR;
typedef void* PVOID;
typedef void* LPVOID;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef const WCHAR* LPCWSTR;
typedef void* HANDLE;
typedef HANDLE HWND;
typedef LONG HRESULT;

#define WINAPI
#define TRUE          1
#define FALSE         0
#define ANYSIZE_ARRAY 1

// UNICODE builds only: TEXT("x") is a UTF-16 literal, as L"x" is on Windows.
#define __TEXT(quote) u##quote
#define TEXT(quote)   __TEXT(quote)

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID* LPCLSID;

static_assert(sizeof(DWORD) == 4 && sizeof(WCHAR) == 2 && sizeof(GUID) == 16, "the Windows sizes");

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define GENERIC_READ          0x80000000u
#define GENERIC_WRITE         0x40000000u
#define FILE_SHARE_READ       0x00000001u
#define FILE_SHARE_WRITE      0x00000002u
#define CREATE_NEW            1u
#define OPEN_EXISTING         3u
#define TRUNCATE_EXISTING     5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED  0x40000000u

#define ERROR_SUCCESS             0L
#define ERROR_INVALID_FUNCTION    1L
#define ERROR_FILE_NOT_FOUND      2L
#define ERROR_ACCESS_DENIED       5L
#define ERROR_INVALID_HANDLE      6L
#define ERROR_INVALID_PARAMETER   87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_NO_MORE_ITEMS       259L
#define ERROR_INVALID_USER_BUFFER 1784L

#ifdef __cplusplus
extern "C" {
#endif

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped);
BOOL WINAPI CloseHandle(HANDLE hObject);

#ifdef __cplusplus
}
#endif
