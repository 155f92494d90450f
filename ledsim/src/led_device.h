// The simulated LED device: three brightness bytes behind six control codes,
// refusing anything else the way a strict driver would.
#pragma once

#include <windows.h>

#include "machine.h"

// Serves one request; returns ERROR_SUCCESS, with the bytes written to
// outBuffer in *bytesReturned, or the Windows error code.
DWORD ServeLedControl(SimInterface* device, DWORD code, LPVOID inBuffer, DWORD inLength, LPVOID outBuffer,
                      DWORD outLength, DWORD* bytesReturned);
