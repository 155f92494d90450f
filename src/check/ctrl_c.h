// Ctrl-C, Ctrl-Break or the console closing stops the checks where they
// are, even in a request the driver never completes; the main thread then
// restores the levels, and no request of its own is cancelled any more.
#pragma once

#include <windows.h>

// Starts watching, with the calling thread's requests cancelled on Ctrl-C.
bool WatchCtrlC(void);
bool Interrupted(void);

// Another thread whose requests Ctrl-C cancels, until it is forgotten (and
// before its handle is closed).
void CancelOnCtrlC(HANDLE thread);
void ForgetOnCtrlC(HANDLE thread);

// From here on, nothing is cancelled: the levels are being restored.
void StopCancelling(void);

// The run is over: the handler is gone, and a console closing may end the
// process now.
void FinishWatching(void);
