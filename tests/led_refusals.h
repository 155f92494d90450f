/*
 * Example requests the LED driver refuses, each with the refusal rule of
 * led_interface.h that decides it, for the simulated device's tests. A row's
 * buffers are there exactly when its length is not 0.
 */
#pragma once

#include "led_interface.h"

/* A code of the LED device type that is not one of the six. */
#define LED_OTHER_CODE(function, method, access) CTL_CODE(FILE_DEVICE_LED, function, method, access)

#define LED_RULE_INDEX(Name, applies, ntstatus, win32error, request) LedRule##Name,
enum LedRefusalRule { LED_REFUSAL_RULES(LED_RULE_INDEX) };

/* The Win32 error of each rule, by its index. */
#define LED_RULE_ERROR(Name, applies, ntstatus, win32error, request) win32error,
static const DWORD LED_RULE_ERRORS[] = {LED_REFUSAL_RULES(LED_RULE_ERROR)};

struct LedRefusal {
    const char* name;
    DWORD code;
    DWORD inLength;
    DWORD outLength;
    enum LedRefusalRule rule;
};

static const struct LedRefusal LED_REFUSALS[] = {
    /* Any other code, whatever the buffers. */
    {"function 0x7ff", LED_OTHER_CODE(LED_IOCTL_INDEX - 1, METHOD_BUFFERED, FILE_ANY_ACCESS), 0, 1,
     LedRuleUnknownCode},
    {"function 0x806 (seventh)", LED_OTHER_CODE(LED_IOCTL_INDEX + 6, METHOD_BUFFERED, FILE_ANY_ACCESS), 0, 1,
     LedRuleUnknownCode},
    {"function 0x807", LED_OTHER_CODE(LED_IOCTL_INDEX + 7, METHOD_BUFFERED, FILE_ANY_ACCESS), 1, 0,
     LedRuleUnknownCode},
    {"METHOD_IN_DIRECT", LED_OTHER_CODE(LED_IOCTL_INDEX, METHOD_IN_DIRECT, FILE_ANY_ACCESS), 0, 1,
     LedRuleUnknownCode},
    {"METHOD_NEITHER", LED_OTHER_CODE(LED_IOCTL_INDEX, METHOD_NEITHER, FILE_ANY_ACCESS), 0, 1,
     LedRuleUnknownCode},
    {"FILE_READ_ACCESS", LED_OTHER_CODE(LED_IOCTL_INDEX, METHOD_BUFFERED, FILE_READ_ACCESS), 0, 1,
     LedRuleUnknownCode},
    {"device type 0x22", 0x00222000, 0, 1, LedRuleUnknownCode},
    {"device type 0x9c43", 0x9C432000, 0, 1, LedRuleUnknownCode},
    /* A buffer on the side the code has none, before the one-byte side. */
    {"read with an input byte", IOCTL_LED_GREEN_READ, 1, 1, LedRuleOtherSide},
    {"read with an input byte, no output", IOCTL_LED_BLUE_READ, 1, 0, LedRuleOtherSide},
    {"write with an output byte", IOCTL_LED_KEYBACK_WRITE, 1, 1, LedRuleOtherSide},
    {"write with an output byte, no input", IOCTL_LED_GREEN_WRITE, 0, 1, LedRuleOtherSide},
    /* The one byte missing. */
    {"read without output", IOCTL_LED_BLUE_READ, 0, 0, LedRuleNoByte},
    {"write without input", IOCTL_LED_GREEN_WRITE, 0, 0, LedRuleNoByte},
    /* More than the one byte. */
    {"read into two bytes", IOCTL_LED_KEYBACK_READ, 0, 2, LedRuleLongByte},
    {"write of two bytes", IOCTL_LED_BLUE_WRITE, 2, 0, LedRuleLongByte},
};
