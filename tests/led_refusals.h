/*
 * Requests the LED driver refuses, by the rules of led_interface.h, with the
 * Win32 error the caller then gets: one table for both stand-ins, the
 * simulated device (ledsim's tests) and the Wine driver (ledcheck contract).
 * A row's buffers are there exactly when its length is not 0. Plain C, so
 * that the C helper and the C++ tests both compile it.
 */
#pragma once

#include "led_interface.h"

/* A code of the LED device type that is not one of the six. */
#define LED_OTHER_CODE(function, method, access) CTL_CODE(FILE_DEVICE_LED, function, method, access)

struct LedRefusal {
    const char* name;
    DWORD code;
    DWORD inLength;
    DWORD outLength;
    DWORD error;
};

static const struct LedRefusal LED_REFUSALS[] = {
    /* Any other code, whatever the buffers. */
    {"function 0x7ff", LED_OTHER_CODE(LED_IOCTL_INDEX - 1, METHOD_BUFFERED, FILE_ANY_ACCESS), 0, 1,
     ERROR_INVALID_FUNCTION},
    {"function 0x806 (seventh)", LED_OTHER_CODE(LED_IOCTL_INDEX + 6, METHOD_BUFFERED, FILE_ANY_ACCESS), 0, 1,
     ERROR_INVALID_FUNCTION},
    {"function 0x807", LED_OTHER_CODE(LED_IOCTL_INDEX + 7, METHOD_BUFFERED, FILE_ANY_ACCESS), 1, 0,
     ERROR_INVALID_FUNCTION},
    {"METHOD_IN_DIRECT", LED_OTHER_CODE(LED_IOCTL_INDEX, METHOD_IN_DIRECT, FILE_ANY_ACCESS), 0, 1,
     ERROR_INVALID_FUNCTION},
    {"METHOD_NEITHER", LED_OTHER_CODE(LED_IOCTL_INDEX, METHOD_NEITHER, FILE_ANY_ACCESS), 0, 1,
     ERROR_INVALID_FUNCTION},
    {"FILE_READ_ACCESS", LED_OTHER_CODE(LED_IOCTL_INDEX, METHOD_BUFFERED, FILE_READ_ACCESS), 0, 1,
     ERROR_INVALID_FUNCTION},
    {"device type 0x22", 0x00222000, 0, 1, ERROR_INVALID_FUNCTION},
    {"device type 0x9c43", 0x9C432000, 0, 1, ERROR_INVALID_FUNCTION},
    /* A buffer on the side the code has none, before the one-byte side. */
    {"read with an input byte", IOCTL_LED_GREEN_READ, 1, 1, ERROR_INVALID_PARAMETER},
    {"read with an input byte, no output", IOCTL_LED_BLUE_READ, 1, 0, ERROR_INVALID_PARAMETER},
    {"write with an output byte", IOCTL_LED_KEYBACK_WRITE, 1, 1, ERROR_INVALID_PARAMETER},
    {"write with an output byte, no input", IOCTL_LED_GREEN_WRITE, 0, 1, ERROR_INVALID_PARAMETER},
    /* The one byte missing. */
    {"read without output", IOCTL_LED_BLUE_READ, 0, 0, ERROR_INSUFFICIENT_BUFFER},
    {"write without input", IOCTL_LED_GREEN_WRITE, 0, 0, ERROR_INSUFFICIENT_BUFFER},
    /* More than the one byte. */
    {"read into two bytes", IOCTL_LED_KEYBACK_READ, 0, 2, ERROR_INVALID_PARAMETER},
    {"write of two bytes", IOCTL_LED_BLUE_WRITE, 2, 0, ERROR_INVALID_PARAMETER},
};
