// Runs that share a brightness state take turns: each holds an exclusive
// lock on it from its load to its exit, so that no run saves over a write
// it never loaded.
#pragma once

#include <string>

// Takes the lock of the state at statePath, waiting a bounded time for
// another run to let go. True with the lock's descriptor in *lock, or -1
// where no file can be made beside the state (no run can save it then, so
// there is nothing to lose); false with a reason.
bool LockBrightnessState(const std::string& statePath, int* lock, std::string* error);

void UnlockBrightnessState(int* lock);
