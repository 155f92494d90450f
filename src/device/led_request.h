// One request to the LED driver, as the command line gives it.
#pragma once

#include <stdint.h>

#include "led_interface.h"

// The LED channel, named and ordered as the contract's channel list, whose
// order fixes the control codes.
#define LED_COLOR_VALUE(Name, name) Name,
enum class LedColor { LED_CHANNELS(LED_COLOR_VALUE) };
#undef LED_COLOR_VALUE

enum class LedAccess { Read, Write };

struct LedRequest {
    LedAccess access;
    LedColor color;
    uint8_t brightness; // Write only.
};
