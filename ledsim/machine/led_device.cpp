#include "led_device.h"

#include "led_interface.h"

struct LedCode {
    DWORD channel;
    bool write;
};

// Finds the channel and direction of one of the six codes.
static bool DecodeLedCode(DWORD code, LedCode* led)
{
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
        for (DWORD write = 0; write < 2; write++) {
            if (IOCTL_LED_CODE(channel, write) == code) {
                *led = {channel, write == 1};
                return true;
            }
        }
    }
    return false;
}

DWORD ServeLedControl(const SimMachine& machine, SimInterface* device, DWORD code, LPVOID inBuffer,
                      DWORD inLength, LPVOID outBuffer, DWORD outLength, DWORD* bytesReturned)
{
    LedCode led = {0, false};
    if (!DecodeLedCode(code, &led)) {
        return ERROR_INVALID_FUNCTION;
    }

    // Exactly one byte, in the one direction the code names, refused in the
    // contract header's order: the side that carries nothing, then the byte.
    // A pointer that disagrees with its length is refused too, where Windows
    // would fail or ignore it before any driver saw the request.
    BYTE* byte = static_cast<BYTE*>(led.write ? inBuffer : outBuffer);
    DWORD byteLength = led.write ? inLength : outLength;
    bool otherSideUsed = led.write ? outBuffer != NULL || outLength != 0 : inBuffer != NULL || inLength != 0;
    if (otherSideUsed) {
        return ERROR_INVALID_PARAMETER;
    }
    if (byteLength == 0) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (byteLength > 1 || byte == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    *bytesReturned = 0;
    if (led.write) {
        device->brightness[led.channel] = *byte;
        if (machine.hooks.levelSet != NULL) {
            machine.hooks.levelSet(machine.hooks.keeper, *device, static_cast<int>(led.channel));
        }
    } else if (!device->noOutput) {
        *byte = device->brightness[led.channel];
        *bytesReturned = 1;
    }
    return ERROR_SUCCESS;
}
