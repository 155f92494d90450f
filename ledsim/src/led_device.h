// The simulated LED device: three brightness bytes behind six control codes,
// refusing anything else the way a strict driver would.
#pragma once

#include <windows.h>

#include "machine.h"

// Serves one request; returns ERROR_SUCCESS or the Windows error code.
// *changed tells whether a write altered the device's brightness.
DWORD ServeLedControl(SimInterface* device, DWORD code, LPVOID inBuffer, DWORD inLength, LPVOID outBuffer,
                      DWORD outLength, DWORD* bytesReturned);
