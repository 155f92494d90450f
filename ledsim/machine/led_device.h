// The simulated LED device: a brightness byte per channel behind the
// contract's control codes, refusing anything else the way a strict driver
// would.
#pragma once

#include <windows.h>

#include "machine.h"

// Serves one request; returns ERROR_SUCCESS, with the bytes written to
// outBuffer in *bytesReturned, or the Windows error code. A write tells the
// machine's keeper as it sets the level.
DWORD ServeLedControl(const SimMachine& machine, SimInterface* device, DWORD code, LPVOID inBuffer,
                      DWORD inLength, LPVOID outBuffer, DWORD outLength, DWORD* bytesReturned);
