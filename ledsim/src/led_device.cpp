#include "led_device.h"

#include "led_interface.h"

struct LedCode {
    DWORD channel;
    bool write;
};

// Finds the channel and direction of one of the six codes.
static bool DecodeLedCode(DWORD code, LedCode* led)
{
    for (DWORD channel = 0; channel < 3; channel++) {
        for (DWORD write = 0; write < 2; write++) {
            if (IOCTL_LED_CODE(channel, write) == code) {
                *led = {channel, write == 1};
                return true;
            }
        }
    }
    return false;
}

DWORD ServeLedControl(SimInterface* device, DWORD code, LPVOID inBuffer, DWORD inLength, LPVOID outBuffer,
                      DWORD outLength, DWORD* bytesReturned)
{
    LedCode led = {0, false};
    if (!DecodeLedCode(code, &led)) {
        return ERROR_INVALID_FUNCTION;
    }

    // Exactly one byte, in the one direction the code names.
    bool hasInput = inBuffer != NULL || inLength != 0;
    bool hasOutput = outBuffer != NULL || outLength != 0;
    if (led.write) {
        if (inBuffer == NULL || inLength != 1 || hasOutput) {
            return ERROR_INVALID_PARAMETER;
        }
        device->brightness[led.channel] = *static_cast<BYTE*>(inBuffer);
        *bytesReturned = 0;
    } else {
        if (outBuffer == NULL || outLength != 1 || hasInput) {
            return ERROR_INVALID_PARAMETER;
        }
        if (device->noOutput) {
            *bytesReturned = 0;
        } else {
            *static_cast<BYTE*>(outBuffer) = device->brightness[led.channel];
            *bytesReturned = 1;
        }
    }
    return ERROR_SUCCESS;
}
