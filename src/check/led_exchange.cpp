#include "check/led_exchange.h"

#include <stdio.h>
#include <string.h>

#define LED_CHANNEL_NAME(Name, name) #name,
const char* const CHANNEL_NAMES[] = {LED_CHANNELS(LED_CHANNEL_NAME)};
static_assert(sizeof(CHANNEL_NAMES) / sizeof(CHANNEL_NAMES[0]) == LED_CHANNEL_COUNT,
              "LED_CHANNEL_COUNT counts the entries of LED_CHANNELS");

#define LED_REFUSAL_RULE(Name, applies, ntstatus, win32error, request) {request, #ntstatus, win32error},
const RefusalRule REFUSAL_RULES[] = {LED_REFUSAL_RULES(LED_REFUSAL_RULE)};

const BYTE GUARD = 0xA5;

LedReply SendLedControl(HANDLE device, DWORD code, DWORD inLength, DWORD outLength, BYTE fill)
{
    BYTE in[2];
    BYTE out[3]; // The output and the guard byte after it.
    memset(in, fill, sizeof(in));
    memset(out, OUTPUT_FILL, sizeof(out));
    out[outLength] = GUARD;

    LedReply reply = {};
    reply.returned = 0xDEAD;
    SetLastError(ERROR_SUCCESS);
    reply.served = DeviceIoControl(device, code, inLength != 0 ? in : NULL, inLength,
                                   outLength != 0 ? out : NULL, outLength, &reply.returned, NULL) != FALSE;
    reply.error = reply.served ? ERROR_SUCCESS : GetLastError();
    memcpy(reply.out, out, sizeof(reply.out));
    reply.guardTouched = out[outLength] != GUARD;
    return reply;
}

bool ReadLevel(HANDLE device, DWORD channel, BYTE* level)
{
    LedReply reply = SendLedControl(device, IOCTL_LED_CODE(channel, 0u), 0, 1, 0);
    *level = reply.out[0];
    if (reply.served && reply.returned != 1) {
        SetLastError(ERROR_INVALID_DATA);
    }
    return reply.served && reply.returned == 1;
}

bool WriteLevel(HANDLE device, DWORD channel, BYTE level)
{
    return SendLedControl(device, IOCTL_LED_CODE(channel, 1u), 1, 0, level).served;
}

bool ReadLevels(HANDLE device, BYTE levels[LED_CHANNEL_COUNT])
{
    bool read = true;
    for (DWORD channel = 0; read && channel < LED_CHANNEL_COUNT; channel++) {
        read = ReadLevel(device, channel, &levels[channel]);
    }
    return read;
}

// Which of the six a code is, if it is one.
static bool FindLedCode(DWORD code, DWORD* channel, DWORD* write)
{
    for (*channel = 0; *channel < LED_CHANNEL_COUNT; ++*channel) {
        for (*write = 0; *write < 2; ++*write) {
            if (IOCTL_LED_CODE(*channel, *write) == code) {
                return true;
            }
        }
    }
    return false;
}

// The index of the first rule that applies; FirstRule's parameters are the
// rules' operands, by the names the contract header gives them.
#define LED_RULE_TEST(Name, applies, ntstatus, win32error, request)                                          \
    if (applies) {                                                                                           \
        return rule;                                                                                         \
    }                                                                                                        \
    rule++;

static int FirstRule(bool known, DWORD other, DWORD own)
{
    int rule = 0;
    LED_REFUSAL_RULES(LED_RULE_TEST)
    return -1;
}

const RefusalRule* ContractRule(DWORD code, DWORD inLength, DWORD outLength)
{
    DWORD channel = 0;
    DWORD write = 0;
    bool known = FindLedCode(code, &channel, &write);
    int rule = FirstRule(known, write ? outLength : inLength, write ? inLength : outLength);
    return rule < 0 ? NULL : &REFUSAL_RULES[rule];
}

const RefusalRule* UnknownCodeRule(void)
{
    return &REFUSAL_RULES[FirstRule(false, 0, 0)];
}

void PrintCode(DWORD code)
{
    static const char* const METHODS[] = {"METHOD_BUFFERED", "METHOD_IN_DIRECT", "METHOD_OUT_DIRECT",
                                          "METHOD_NEITHER"};
    static const char* const ACCESS[] = {"FILE_ANY_ACCESS", "FILE_READ_ACCESS", "FILE_WRITE_ACCESS",
                                         "FILE_READ_ACCESS | FILE_WRITE_ACCESS"};
    DWORD channel = 0;
    DWORD write = 0;
    if (FindLedCode(code, &channel, &write)) {
        printf("%s %s (0x%08lX)", CHANNEL_NAMES[channel], write ? "write" : "read", code);
    } else {
        printf("0x%08lX (type 0x%04lX, function 0x%03lX, %s, %s)", code, code >> 16, (code >> 2) & 0xFFFu,
               METHODS[code & 3u], ACCESS[(code >> 14) & 3u]);
    }
}

void PrintOutcome(const LedReply* reply)
{
    if (reply->served) {
        printf("served");
    } else {
        printf("refused with %lu", reply->error);
    }
}

void PrintLevels(const BYTE levels[LED_CHANNEL_COUNT])
{
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
        printf("%s%s %u", channel > 0 ? ", " : "", CHANNEL_NAMES[channel], levels[channel]);
    }
}
