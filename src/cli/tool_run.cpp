#include "cli/tool_run.h"

#include <stdio.h>
#include <windows.h>

#include "cli/command_line.h"
#include "device/device_discovery.h"
#include "device/led_control.h"

static void ExchangeWithDevice(HANDLE device, const LedRequest& request)
{
    BYTE ioByte = 0;
    if (request.access == LedAccess::Write) {
        printf("brightness = %u\n", static_cast<unsigned>(request.brightness));
    }

    if (!SendLedRequest(device, request, &ioByte)) {
        printf("ERROR calling DeviceIoControl, GLE = %u\n", static_cast<unsigned>(GetLastError()));
    } else if (request.access == LedAccess::Read) {
        printf("Brightness == %u\n", static_cast<unsigned>(ioByte));
    } else {
        printf("DeviceIoControl Success\n");
    }
}

int RunLedTest(int argc, char** argv)
{
    WCHAR devicePath[DEVICE_PATH_CHARS] = {0};
    if (!FindDevicePath(devicePath)) {
        printf("ERROR finding driver\n");
        return 0;
    }

    HANDLE device = OpenLedDevice(devicePath);
    if (device == INVALID_HANDLE_VALUE) {
        printf("ERROR creating device, error %u\n", static_cast<unsigned>(GetLastError()));
        return 0;
    }
    printf("Success creating device\n");

    LedRequest request = {LedAccess::Read, LedColor::Green, 0};
    if (ParseCommandLine(argc, argv, &request)) {
        ExchangeWithDevice(device, request);
    }

    CloseHandle(device);
    return 0;
}
