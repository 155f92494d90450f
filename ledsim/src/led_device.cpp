#include "led_device.h"

// The device's own copy of the codes, spelled out rather than taken from the
// tool's header, so that each side checks the other.
struct LedCode {
    DWORD code;
    int channel;
    bool write;
};

static const LedCode LED_CODES[] = {
    {0x9C422000, 0, false}, {0x9C422004, 0, true}, // green
    {0x9C422008, 1, false}, {0x9C42200C, 1, true}, // blue
    {0x9C422010, 2, false}, {0x9C422014, 2, true}, // keyback
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
