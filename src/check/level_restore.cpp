#include <stdio.h>
#include <string.h>

#include "check/checks.h"
#include "check/ctrl_c.h"
#include "check/led_exchange.h"

// A write that Ctrl-C cancelled just before the restore began goes again.
static bool RestoreLevel(HANDLE device, DWORD channel, BYTE level)
{
    return WriteLevel(device, channel, level) ||
           (GetLastError() == ERROR_OPERATION_ABORTED && WriteLevel(device, channel, level));
}

bool RestoreLevels(CheckRun* run)
{
    StopCancelling();
    bool written = true;
    for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
        written = RestoreLevel(run->device, channel, run->found[channel]) && written;
    }
    BYTE levels[LED_CHANNEL_COUNT] = {};
    bool read = ReadLevels(run->device, levels);
    // What counts is what the device holds: a refused write may have had
    // nothing to restore.
    bool restored = read && memcmp(levels, run->found, sizeof(levels)) == 0;

    BeginCheckLine(&run->report, restored ? Pass : Fail, IdRestore);
    printf("wrote the levels found, in channel order: ");
    PrintLevels(run->found);
    printf("%s; ", written ? "" : " (a write refused)");
    if (read) {
        printf("read back ");
        PrintLevels(levels);
    } else {
        printf("a read back refused with %lu", GetLastError());
    }
    printf("; expects the levels found");
    EndCheckLine();

    if (!restored && run->checkedIndex == run->toolIndex) {
        printf("The levels are not back. These commands set them, in this order:\n");
        for (DWORD channel = 0; channel < LED_CHANNEL_COUNT; channel++) {
            printf("    Tovrin_LED_Test w %s %u\n", CHANNEL_NAMES[channel], run->found[channel]);
        }
    } else if (!restored) {
        printf("The levels are not back, and Tovrin_LED_Test cannot set them: it opens another interface "
               "than %lu, or none. Set them by other means to the levels found above.\n",
               run->checkedIndex);
    }
    fflush(stdout);
    return restored;
}
