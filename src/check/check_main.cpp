// Tovrin_LED_Check: proves an LED driver against the contract of
// led_interface.h, one line per check. Without full it only discovers,
// opens and reads; full writes too, and restores the levels it found.
#include <stdio.h>

#include "check/check_options.h"
#include "check/checks.h"
#include "check/ctrl_c.h"
#include "check/interface_discovery.h"

// The checks that write, where the levels found are known; otherwise a SKIP
// for each, as nothing is written that could not be restored.
static void RunWritingChecks(CheckRun* run)
{
    if (!run->levelsKnown) {
        for (int check = IdCodesSix; check < IdRestore; check++) {
            if (run->options.selected[check]) {
                BeginCheckLine(&run->report, Skip, static_cast<CheckId>(check));
                printf("the levels could not be read (levels), so none is written");
                EndCheckLine();
            }
        }
        return;
    }
    CheckCodes(run);
    CheckSizes(run);
    CheckValues(run);
    if (!Interrupted()) {
        CheckHandles(run);
    }
    if (run->options.selected[IdSoak] && !Interrupted()) {
        CheckSoak(run);
    }
}

// The checks on the interface found: the agreed open, the levels, other
// opens, and with full the rest, the levels restored.
static void CheckInterface(CheckRun* run)
{
    if (!CheckOpen(run)) {
        run->incomplete = true;
        return;
    }
    CheckFoundLevels(run);
    if (run->options.selected[IdOpenOthers] && !Interrupted()) {
        CheckOtherOpens(run);
    }
    if (run->options.full) {
        RunWritingChecks(run);
    }
    if (run->wrote) {
        run->notRestored = !RestoreLevels(run);
    }
    CloseHandle(run->device);
}

int main(int argc, char** argv)
{
    CheckRun run = {};
    run.report.startTicks = GetTickCount64();
    bool understood = ParseCheckOptions(argc, argv, &run.options);
    if (!understood || run.options.help) {
        PrintCheckUsage();
        return understood ? 0 : 2;
    }
    run.report.strict = run.options.strict;
    printf("Tovrin_LED_Check: %s\n", run.options.full ? "full: writes levels, and restores those it finds"
                                                      : "reads only (full writes and sweeps too)");
    if (!WatchCtrlC()) {
        printf("Ctrl-C cannot be caught (error %lu): it would stop the run without restoring levels\n",
               GetLastError());
    }
    if (CheckDiscovery(&run)) {
        CheckInterface(&run);
    } else {
        run.incomplete = true;
    }
    FinishWatching();

    int status = 0;
    const char* meaning = "no FAIL";
    if (run.notRestored) {
        status = 3;
        meaning = "levels not restored";
    } else if (run.incomplete || Interrupted()) {
        status = 2;
        meaning = Interrupted() ? "stopped by Ctrl-C" : "could not check";
    } else if (run.report.counts[Fail] > 0) {
        status = 1;
        meaning = "a FAIL";
    }
    PrintClosingLine(&run.report, status, meaning);
    return status;
}
