// The process's machine, set up from its environment: LEDSIM_SCENARIO,
// LEDSIM_STATE and LEDSIM_TRACE, or the embedded default machine with its
// levels kept in the user's state folder. The Linux tool's main loads it
// before the tool runs, and closes it after.
#pragma once

#include "brightness_store.h"
#include "trace_file.h"

// What the process holds from the machine's load to its end.
struct SimProcess {
    BrightnessStore store;
    TraceFile trace;
};

// Puts the machine the environment describes in place, its levels kept and
// its calls traced. False where the machine cannot use the setup (a
// scenario it cannot read or understand, a store it must not use), said on
// standard error naming the file, with nothing held.
bool LoadMachineFromEnvironment(SimProcess* process);

// Lets go of the store and the trace.
void CloseSimProcess(SimProcess* process);
