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

// The error the contract's refusal rules give a request, ERROR_SUCCESS where
// none applies; the names are the operands of the rules.
#define REFUSAL_ERROR(Name, applies, ntstatus, win32error, request) (applies) ? (win32error):
static DWORD ContractError(bool known, DWORD other, DWORD own)
{
    return static_cast<DWORD>(LED_REFUSAL_RULES(REFUSAL_ERROR) ERROR_SUCCESS);
}

DWORD ServeLedControl(SimInterface* device, DWORD code, LPVOID inBuffer, DWORD inLength, LPVOID outBuffer,
                      DWORD outLength, DWORD* bytesReturned, int* written)
{
    LedCode led = {0, false};
    if (!DecodeLedCode(code, &led)) {
        return ContractError(false, 0, 0);
    }

    // Exactly one byte, in the one direction the code names, refused by the
    // contract header's rules, in their order; a pointer on the side that
    // carries nothing counts as a buffer there. A pointer that disagrees with
    // its length is refused too, where Windows would fail or ignore it before
    // any driver saw the request.
    BYTE* byte = static_cast<BYTE*>(led.write ? inBuffer : outBuffer);
    DWORD byteLength = led.write ? inLength : outLength;
    bool otherSideUsed = led.write ? outBuffer != NULL || outLength != 0 : inBuffer != NULL || inLength != 0;
    DWORD error = ContractError(true, otherSideUsed ? 1 : 0, byteLength);
    if (error == ERROR_SUCCESS && byte == NULL) {
        error = ERROR_INVALID_PARAMETER;
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    *bytesReturned = 0;
    *written = -1;
    if (led.write) {
        device->brightness[led.channel] = *byte;
        *written = static_cast<int>(led.channel);
    } else if (!device->noOutput) {
        *byte = device->brightness[led.channel];
        *bytesReturned = 1;
    }
    return ERROR_SUCCESS;
}
