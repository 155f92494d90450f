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

// Refuses a request where a refusal rule of the contract applies; expanded
// where the rules' operands, known, other and own, are defined.
#define REFUSE_BY_RULE(Name, applies, ntstatus, win32error, request)                                         \
    if (applies) {                                                                                           \
        return (win32error);                                                                                 \
    }

DWORD ServeLedControl(const SimMachine& machine, SimInterface* device, DWORD code, LPVOID inBuffer,
                      DWORD inLength, LPVOID outBuffer, DWORD outLength, DWORD* bytesReturned)
{
    LedCode led = {0, false};
    const bool known = DecodeLedCode(code, &led);

    // Exactly one byte, in the one direction the code names, refused by the
    // contract header's rules, in their order; a pointer on the side that
    // carries nothing counts as a buffer there. A pointer that disagrees with
    // its length is refused too, where Windows would fail or ignore it before
    // any driver saw the request.
    BYTE* byte = static_cast<BYTE*>(led.write ? inBuffer : outBuffer);
    const DWORD own = led.write ? inLength : outLength;
    const DWORD other =
        (led.write ? outBuffer != NULL || outLength != 0 : inBuffer != NULL || inLength != 0) ? 1 : 0;
    LED_REFUSAL_RULES(REFUSE_BY_RULE)
    if (byte == NULL) {
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
