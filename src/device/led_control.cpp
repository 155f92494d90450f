#include "device/led_control.h"

#include "led_interface.h"

DWORD LedControlCode(LedColor color, LedAccess access)
{
    // The enumerations' order is the header's channel and direction order.
    return IOCTL_LED_CODE(static_cast<DWORD>(color), static_cast<DWORD>(access));
}

LedTransfer PrepareLedTransfer(const LedRequest& request, BYTE* ioByte)
{
    LedTransfer transfer = {LedControlCode(request.color, request.access), NULL, 0, NULL, 0};
    if (request.access == LedAccess::Write) {
        *ioByte = request.brightness;
        transfer.inBuffer = ioByte;
        transfer.inLength = sizeof(*ioByte);
    } else {
        *ioByte = 0;
        transfer.outBuffer = ioByte;
        transfer.outLength = sizeof(*ioByte);
    }
    return transfer;
}

HANDLE OpenLedDevice(LPCWSTR devicePath)
{
    return CreateFileW(devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

BOOL SendLedRequest(HANDLE device, const LedRequest& request, BYTE* ioByte)
{
    LedTransfer transfer = PrepareLedTransfer(request, ioByte);
    DWORD bytesReturned = 0; // Not examined: the result flag says it all.

    SetLastError(ERROR_SUCCESS);
    return DeviceIoControl(device, transfer.controlCode, transfer.inBuffer, transfer.inLength,
                           transfer.outBuffer, transfer.outLength, &bytesReturned, NULL);
}
