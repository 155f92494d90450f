// The process's machine, set up from its environment: LEDSIM_SCENARIO,
// LEDSIM_STATE and LEDSIM_TRACE, or the embedded default machine with its
// levels kept in the user's state folder. Linked into the Linux tool, this
// layer makes that machine on the first platform call, keeps its levels,
// writes its trace and checks its books as the process ends.
#pragma once

#include "machine.h"

// A setup the machine cannot use (a scenario it cannot read or understand, a
// store it must not use) stops the process with status 2, naming the file.
SimMachine* LoadMachineFromEnvironment(void);
