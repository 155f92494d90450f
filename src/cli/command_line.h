// The command line: <r/w> <color> <brightness>.
#pragma once

#include <stdint.h>

#include "device/led_request.h"

// Prints the five lines of usage text.
void PrintUsage(void);

// Checks argv in a fixed order. On a refusal prints one diagnostic line and
// the usage text, and returns false; *request is then left alone.
bool ParseCommandLine(int argc, char** argv, LedRequest* request);

// Base-10 conversion by the string-to-long rules, saturated to the 32-bit
// signed range whatever the size of long.
int32_t ConvertDecimalText(const char* text);

// Whole-word comparison that folds only ASCII A-Z, independent of locale.
bool EqualsIgnoringAsciiCase(const char* text, const char* lowerCaseWord);
