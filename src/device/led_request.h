// One request to the LED driver, as the command line gives it.
#pragma once

#include <stdint.h>

// The LED channel; the order fixes the control codes: see led_interface.h.
enum class LedColor { Green, Blue, Keyback };

enum class LedAccess { Read, Write };

struct LedRequest {
    LedAccess access;
    LedColor color;
    uint8_t brightness; // Write only.
};
