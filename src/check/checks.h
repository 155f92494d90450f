// The checks after discovery, each group in a file of its own. Each prints
// its lines; those that write set run->wrote before their first write.
#pragma once

#include "check/check_run.h"

// handle_checks.cpp: the agreed open (false where it is refused), other
// opens as advice, and levels kept by the device, not the handle.
bool CheckOpen(CheckRun* run);
void CheckOtherOpens(CheckRun* run);
void CheckHandles(CheckRun* run);

// value_checks.cpp: the levels found (false where they cannot be read),
// every level on every channel, and writes that stay in their channel.
bool CheckFoundLevels(CheckRun* run);
void CheckValues(CheckRun* run);

// code_checks.cpp: the six codes served, every other refused.
void CheckCodes(CheckRun* run);

// size_checks.cpp: the buffers' lengths, the counts returned, the byte after
// the output, the levels after each refusal.
void CheckSizes(CheckRun* run);

// soak.cpp: a thread per channel, each on its own handle, for a while.
void CheckSoak(CheckRun* run);

// level_restore.cpp: the levels found written back and read again; false
// where they are not back.
bool RestoreLevels(CheckRun* run);
