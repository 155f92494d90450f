// The checker's command line.
#pragma once

#include <windows.h>

#include "check/check_report.h"

struct CheckOptions {
    bool help;           // --help or /?: the usage, and nothing checked.
    bool full;           // Writes, sweeps and handle checks too, levels restored.
    bool strict;         // Another error than the contract's is a FAIL.
    bool interfaceGiven; // Else the interface the tool opens.
    DWORD interfaceIndex;
    DWORD soakSeconds;          // 0: no soak.
    bool selected[CHECK_COUNT]; // What --only leaves, or every check.
};

// False, having said why, for a command line the usage does not allow.
bool ParseCheckOptions(int argc, char** argv, CheckOptions* options);

void PrintCheckUsage(void);
