#include "led_device.h"

#include "device/led_interface.h"

struct LedCode {
    DWORD code;
    int channel;
    bool write;
};

static const LedCode LED_CODES[] = {
    {IOCTL_LED_GREEN_READ, 0, false}, {IOCTL_LED_GREEN_WRITE, 0, true},   {IOCTL_LED_BLUE_READ, 1, false},
    {IOCTL_LED_BLUE_WRITE, 1, true},  {IOCTL_LED_KEYBACK_READ, 2, false}, {IOCTL_LED_KEYBACK_WRITE, 2, true},
};

DWORD ServeLedControl(SimInterface* device, DWORD code, LPVOID inBuffer, DWORD inLength, LPVOID outBuffer,
                      DWORD outLength, DWORD* bytesReturned)
{
    const LedCode* led = NULL;
    for (const LedCode& candidate : LED_CODES) {
        if (candidate.code == code) {
            led = &candidate;
        }
    }
    if (led == NULL) {
        return ERROR_INVALID_FUNCTION;
    }

    // Exactly one byte, in the one direction the code names.
    bool hasInput = inBuffer != NULL || inLength != 0;
    bool hasOutput = outBuffer != NULL || outLength != 0;
    if (led->write) {
        if (inBuffer == NULL || inLength != 1 || hasOutput) {
            return ERROR_INVALID_PARAMETER;
        }
        device->brightness[led->channel] = *static_cast<BYTE*>(inBuffer);
        *bytesReturned = 0;
    } else {
        if (outBuffer == NULL || outLength != 1 || hasInput) {
            return ERROR_INVALID_PARAMETER;
        }
        if (device->noOutput) {
            *bytesReturned = 0;
        } else {
            *static_cast<BYTE*>(outBuffer) = device->brightness[led->channel];
            *bytesReturned = 1;
        }
    }
    return ERROR_SUCCESS;
}
