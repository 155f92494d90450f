// What the checks of one run share: the options, the report, the interface
// under check and its open handle, and the levels found there.
#pragma once

#include <windows.h>

#include "check/check_options.h"
#include "check/check_report.h"
#include "led_interface.h"

// Characters of an interface path the checker reads, terminator included.
const size_t CHECK_PATH_CHARS = 1024;

const DWORD NO_INTERFACE = 0xFFFFFFFF;

struct CheckRun {
    CheckOptions options;
    CheckReport report;
    DWORD checkedIndex;            // In SetupAPI's list, or NO_INTERFACE.
    DWORD toolIndex;               // The one the tool opens, or NO_INTERFACE.
    WCHAR path[CHECK_PATH_CHARS];  // The checked interface's.
    HANDLE device;                 // The agreed open of it.
    BYTE found[LED_CHANNEL_COUNT]; // Its levels when the run began.
    bool levelsKnown;
    bool wrote;      // Levels were written: they are restored.
    bool incomplete; // The run could not check what it was asked to.
    bool notRestored;
};
