// The simulated LED device: a brightness byte per channel behind the
// contract's control codes, refusing anything else the way a strict driver
// would.
#pragma once

#include <windows.h>

#include "machine.h"

// Serves one request; returns ERROR_SUCCESS, with the bytes written to
// outBuffer in *bytesReturned and the channel a write set in *written (-1
// for a read), or the Windows error code.
DWORD ServeLedControl(SimInterface* device, DWORD code, LPVOID inBuffer, DWORD inLength, LPVOID outBuffer,
                      DWORD outLength, DWORD* bytesReturned, int* written);
