// The Linux tool: the tool's run on the simulated machine that the process's
// environment describes (ledsim/README.md), which keeps its levels and
// writes down its calls, then the machine's books.
#include <stdio.h>

#include "cli/tool_run.h"
#include "environment.h"
#include "ledsim/ledsim.h"

int main(int argc, char** argv)
{
    SimProcess process;
    if (!LoadMachineFromEnvironment(&process)) {
        return 2; // Before the tool prints anything.
    }
    int status = RunLedTest(argc, argv);
    // A set or handle left open, or closed twice.
    fputs(LedSimCheckBooks().c_str(), stderr);
    CloseSimProcess(&process);
    return status;
}
