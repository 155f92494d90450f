// Finding the LED device: the first interface of class GUID_DEVINTERFACE_LED
// on a present device whose path can be read.
#pragma once

#include <stddef.h>
#include <windows.h>

// Device path buffer length in characters, terminator included.
const size_t DEVICE_PATH_CHARS = 100;

// Prints every step. Returns true with the path in devicePath, or false.
bool FindDevicePath(WCHAR (&devicePath)[DEVICE_PATH_CHARS]);
