// The exchange with the LED driver: opening the device and sending one
// control request with its one-byte payload.
#pragma once

#include <windows.h>

#include "device/led_request.h"

// Code and buffers of one request, exactly as DeviceIoControl takes them.
struct LedTransfer {
    DWORD controlCode;
    LPVOID inBuffer;
    DWORD inLength;
    LPVOID outBuffer;
    DWORD outLength;
};

DWORD LedControlCode(LedColor color, LedAccess access);

// Points the transfer at ioByte: a write sends the request's brightness from
// it, a read receives into it (preset to 0, so a driver that succeeds without
// writing the byte reads as 0 rather than as stack garbage).
LedTransfer PrepareLedTransfer(const LedRequest& request, BYTE* ioByte);

// INVALID_HANDLE_VALUE on failure, with the reason in GetLastError.
HANDLE OpenLedDevice(LPCWSTR devicePath);

// One synchronous DeviceIoControl. On failure the caller reads GetLastError;
// after a successful read, ioByte holds the brightness.
BOOL SendLedRequest(HANDLE device, const LedRequest& request, BYTE* ioByte);
