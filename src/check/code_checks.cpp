#include <stdio.h>

#include "check/checks.h"
#include "check/ctrl_c.h"
#include "check/led_exchange.h"

// The first few wrong results of a check.
const int SHOWN = 3;

// What the codes the contract does not serve came back with.
struct UnknownCodes {
    unsigned sent;
    unsigned served;
    unsigned otherError; // Refused, but not with the contract's error.
    DWORD shownCodes[SHOWN];
    LedReply shownReplies[SHOWN];
    int shownCount;
};

// Keeps the first few offenders, a code served before one refused with
// another error: the FAIL before the WARN.
static void Note(UnknownCodes* codes, DWORD code, const LedReply* reply)
{
    int slot = codes->shownCount;
    if (slot == SHOWN && reply->served) {
        slot = 0;
        while (slot < SHOWN && codes->shownReplies[slot].served) {
            slot++;
        }
    }
    if (slot < SHOWN) {
        codes->shownCodes[slot] = code;
        codes->shownReplies[slot] = *reply;
        codes->shownCount = codes->shownCount > slot ? codes->shownCount : slot + 1;
    }
}

// Sends a code the contract refuses, with a read's buffers; where it comes
// back refused with another error, again with a write's, so that a code
// served as a write shows.
static void SendUnknownCode(HANDLE device, DWORD code, UnknownCodes* codes)
{
    const DWORD expected = UnknownCodeRule()->error;
    LedReply reply = SendLedControl(device, code, 0, 1, 0);
    if (!reply.served && reply.error != expected) {
        LedReply write = SendLedControl(device, code, 1, 0, 0);
        reply = write.served ? write : reply;
    }
    codes->sent++;
    if (reply.served) {
        codes->served++;
        Note(codes, code, &reply);
    } else if (reply.error != expected) {
        codes->otherError++;
        Note(codes, code, &reply);
    }
}

static void ReportUnknownCodes(CheckRun* run, CheckId check, const char* sent, const UnknownCodes* codes)
{
    const RefusalRule* rule = UnknownCodeRule();
    Verdict verdict = codes->served > 0       ? Fail
                      : codes->otherError > 0 ? OtherErrorVerdict(&run->report)
                                              : Pass;
    BeginCheckLine(&run->report, Interrupted() ? Skip : verdict, check);
    printf("%u codes, %s, with no input and a 1-byte output (again with 1 byte in and none out where refused "
           "otherwise)%s: %u served, %u refused with another error than %lu",
           codes->sent, sent, Interrupted() ? ", interrupted" : "", codes->served, codes->otherError,
           rule->error);
    for (int i = 0; i < codes->shownCount; i++) {
        printf("%s ", i == 0 ? ":" : ";");
        PrintCode(codes->shownCodes[i]);
        printf(" ");
        PrintOutcome(&codes->shownReplies[i]);
    }
    printf("; expects each refused with %lu, %s (%s)", rule->error, rule->status, rule->request);
    EndCheckLine();
}

// The six codes with the contract's buffers; each write with its channel's
// level as found, so that a healthy driver's levels do not change.
static void CheckSixCodes(CheckRun* run)
{
    DWORD refused[2 * LED_CHANNEL_COUNT] = {};
    LedReply replies[2 * LED_CHANNEL_COUNT] = {};
    int refusedCount = 0;
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
        for (DWORD write = 0; write < 2; write++) {
            DWORD code = IOCTL_LED_CODE(channel, write);
            LedReply reply = SendLedControl(run->device, code, write, 1 - write, run->found[channel]);
            if (!reply.served) {
                refused[refusedCount] = code;
                replies[refusedCount++] = reply;
            }
        }
    }
    BeginCheckLine(&run->report, Interrupted() ? Skip : refusedCount == 0 ? Pass : Fail, IdCodesSix);
    printf(
        "the six codes, 0x%08lX to 0x%08lX, with the contract's buffers (each write of its level as found): "
        "%d refused",
        static_cast<DWORD>(IOCTL_LED_CODE(0u, 0u)),
        static_cast<DWORD>(IOCTL_LED_CODE(LED_CHANNEL_COUNT - 1u, 1u)), refusedCount);
    for (int i = 0; i < refusedCount; i++) {
        printf("%s ", i == 0 ? ":" : ";");
        PrintCode(refused[i]);
        printf(" ");
        PrintOutcome(&replies[i]);
    }
    printf("; expects all six served");
    EndCheckLine();
}

static DWORD Code(DWORD type, DWORD function, DWORD method, DWORD access)
{
    return CTL_CODE(type, function, method, access);
}

// The six codes' function numbers under every other method and access.
static void CheckOtherAccess(CheckRun* run)
{
    UnknownCodes codes = {};
    for (DWORD function = LED_IOCTL_INDEX; function < LED_IOCTL_INDEX + 2 * LED_CHANNEL_COUNT; function++) {
        for (DWORD bits = 1; bits < 16 && !Interrupted(); bits++) {
            SendUnknownCode(run->device, Code(FILE_DEVICE_LED, function, bits & 3, bits >> 2), &codes);
        }
    }
    ReportUnknownCodes(run, IdCodesAccess,
                       "the six codes' function numbers under every other method and access", &codes);
}

// Every other function number of the device type, under every method and
// access: 65,440 requests.
static void CheckOtherFunctions(CheckRun* run)
{
    UnknownCodes codes = {};
    for (DWORD function = 0; function < 0x1000 && !Interrupted(); function++) {
        if (function >= LED_IOCTL_INDEX && function < LED_IOCTL_INDEX + 2 * LED_CHANNEL_COUNT) {
            continue;
        }
        for (DWORD bits = 0; bits < 16; bits++) {
            SendUnknownCode(run->device, Code(FILE_DEVICE_LED, function, bits & 3, bits >> 2), &codes);
        }
    }
    ReportUnknownCodes(run, IdCodesFunctions,
                       "the LED device type's, every function number 0x000 to 0xFFF but the six's, under "
                       "every method and access",
                       &codes);
}

// The six codes under other device types: each type one bit away from the
// LED's, and 0x0000, 0x0022 (FILE_DEVICE_UNKNOWN) and 0xFFFF.
static void CheckOtherTypes(CheckRun* run)
{
    DWORD types[19] = {0x0000, 0x0022, 0xFFFF};
    for (DWORD bit = 0; bit < 16; bit++) {
        types[3 + bit] = FILE_DEVICE_LED ^ (1u << bit);
    }
    UnknownCodes codes = {};
    for (DWORD type : types) {
        for (DWORD function = LED_IOCTL_INDEX; function < LED_IOCTL_INDEX + 2 * LED_CHANNEL_COUNT;
             function++) {
            SendUnknownCode(run->device, Code(type, function, METHOD_BUFFERED, FILE_ANY_ACCESS), &codes);
        }
    }
    ReportUnknownCodes(run, IdCodesTypes,
                       "the six codes' function numbers under device types 0x0000, 0x0022, 0xFFFF and each "
                       "one bit away from the LED type",
                       &codes);
}

void CheckCodes(CheckRun* run)
{
    if (run->options.selected[IdCodesSix] && !Interrupted()) {
        run->wrote = true;
        CheckSixCodes(run);
    }
    // A code the contract refuses may be served as a write: levels may change.
    if (run->options.selected[IdCodesAccess] && !Interrupted()) {
        run->wrote = true;
        CheckOtherAccess(run);
    }
    if (run->options.selected[IdCodesFunctions] && !Interrupted()) {
        run->wrote = true;
        CheckOtherFunctions(run);
    }
    if (run->options.selected[IdCodesTypes] && !Interrupted()) {
        run->wrote = true;
        CheckOtherTypes(run);
    }
}
