// The machine a process runs on, set up from its environment: LEDSIM_SCENARIO,
// LEDSIM_STATE and LEDSIM_TRACE, or the embedded default machine.
#pragma once

#include "machine.h"

// A setup the machine cannot use (a scenario it cannot read or understand, a
// state it cannot use) stops the process with status 2, naming the file.
SimMachine* LoadMachineFromEnvironment(void);
