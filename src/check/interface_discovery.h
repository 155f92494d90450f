// The discovery check: every present LED interface, in SetupAPI's order.
#pragma once

#include "check/check_run.h"

// Reports each interface, and which the tool and the checker open; false
// where there is none to check.
bool CheckDiscovery(CheckRun* run);
